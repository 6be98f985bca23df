/* Searches logs for tolvane.exe's lines with tolvane-run's own search, on
 * any platform:
 *   search_log CASES
 * Each line of the file CASES is one case: the lines looked for, each in
 * hexadecimal, separated by commas, a blank, then the log in hexadecimal.
 * For each it prints the number of the line found first (0 for the first
 * line given), or "none", having fed the log in pieces of every size from
 * one byte to the whole log, or "differs" where the sizes disagree.  Each
 * piece and each table in memory of exactly its own size, so that the
 * sanitizers see a byte read beyond it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log_search.h"

enum { most_lines = 4 };

/* Hexadecimal to bytes, in place; the number of bytes. */
static size_t from_hex(char *text)
{
	const size_t length = strlen(text) / 2;
	for (size_t index = 0; index < length; ++index) {
		char digits[3] = {text[2 * index], text[2 * index + 1], '\0'};
		text[index] = static_cast<char>(strtoul(digits, nullptr, 16));
	}
	text[length] = '\0';
	return length;
}

/* The line found first, or count, feeding the log in pieces of this size. */
static size_t search(char **lines, size_t count, const char *log, size_t length, size_t piece_size)
{
	line_search searches[most_lines];
	size_t *tables[most_lines];
	for (size_t index = 0; index < count; ++index) {
		tables[index] = static_cast<size_t *>(malloc(strlen(lines[index]) * sizeof(size_t) + 1));
		begin_line_search(searches[index], lines[index], tables[index]);
	}
	size_t found = count;
	for (size_t start = 0; start < length && found == count; start += piece_size) {
		const size_t size = length - start < piece_size ? length - start : piece_size;
		char *piece = static_cast<char *>(malloc(size));
		memcpy(piece, log + start, size);
		found = first_line_ending_in(searches, count, piece, size);
		free(piece);
	}
	for (size_t index = 0; index < count; ++index)
		free(tables[index]);
	return found;
}

int main(int argc, char *argv[])
{
	static char text[1 << 16];
	FILE *cases = argc == 2 ? fopen(argv[1], "r") : nullptr;
	if (cases == nullptr)
		return 2;
	while (fgets(text, sizeof text, cases) != nullptr) {
		char *log = strchr(text, ' ');
		if (log == nullptr)
			return 2;
		*log++ = '\0';
		log[strcspn(log, "\r\n")] = '\0';
		const size_t length = from_hex(log);
		char *lines[most_lines];
		size_t count = 0;
		for (char *line = strtok(text, ","); line != nullptr && count < most_lines; line = strtok(nullptr, ",")) {
			from_hex(line);
			lines[count++] = line;
		}
		const size_t found = search(lines, count, log, length, length > 0 ? length : 1);
		bool differs = false;
		for (size_t piece_size = 1; piece_size < length; ++piece_size)
			differs = differs || search(lines, count, log, length, piece_size) != found;
		if (differs)
			printf("differs\n");
		else if (found == count)
			printf("none\n");
		else
			printf("%u\n", static_cast<unsigned>(found));
	}
	fclose(cases);
	return 0;
}
