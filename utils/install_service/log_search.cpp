#include "log_search.h"

#include <stdint.h>
#include <string.h>

void begin_line_search(line_search &search, const char *line, size_t *fallback)
{
	search = {line, 0, fallback, 0};
	if (line == nullptr || fallback == nullptr)
		return;
	while (line[search.length] != '\0')
		++search.length;
	/* fallback[i]: the length of the longest proper beginning of the line
	 * that line[0..i] also ends with, where a search that has matched
	 * i + 1 bytes goes on after a byte that does not match. */
	if (search.length > 0)
		fallback[0] = 0;
	size_t matched = 0;
	for (size_t index = 1; index < search.length; ++index) {
		while (matched > 0 && line[index] != line[matched])
			matched = fallback[matched - 1];
		if (line[index] == line[matched])
			++matched;
		fallback[index] = matched;
	}
}

/* The first byte from index on that is the wanted one, or size: eight at a
 * time while none of the eight is (a byte of the XOR that is zero). */
static size_t next_byte(const char *piece, size_t index, size_t size, char wanted)
{
	const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
	const uint64_t pattern = ones * static_cast<unsigned char>(wanted);
	for (uint64_t word = 0; index + 8 <= size; index += 8) {
		memcpy(&word, piece + index, 8);
		word ^= pattern;
		if (((word - ones) & ~word & highs) != 0)
			break;
	}
	while (index < size && piece[index] != wanted)
		++index;
	return index;
}

/* Where the line ends in the piece (the offset after its last byte), or 0. */
static size_t line_end(line_search &search, const char *piece, size_t size)
{
	if (search.length == 0)
		return 0;
	const char *const line = search.line;
	for (size_t index = 0; index < size; ++index) {
		/* Most of a log begins no line: past it at once. */
		if (search.matched == 0 && (index = next_byte(piece, index, size, line[0])) == size)
			break;
		while (search.matched > 0 && piece[index] != line[search.matched])
			search.matched = search.fallback[search.matched - 1];
		if (piece[index] == line[search.matched] && ++search.matched == search.length)
			return index + 1;
	}
	return 0;
}

size_t first_line_ending_in(line_search *searches, size_t count, const char *piece, size_t size)
{
	size_t first = count, first_end = 0;
	for (size_t index = 0; index < count; ++index) {
		const size_t end = line_end(searches[index], piece, size);
		if (end != 0 && (first == count || end < first_end)) {
			first = index;
			first_end = end;
		}
	}
	return first;
}
