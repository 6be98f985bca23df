/* Splits one command line with tolvane's Windows splitter, on any platform:
 *   split_command_line HEX [CAPACITY]
 * HEX is the line as UTF-16 units of four hexadecimal digits each.  Prints
 * the number of arguments, then each argument kept (all of them, or the
 * first CAPACITY) on a line of its own, in the same hexadecimal form. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_line.h"

int main(int argc, char *argv[])
{
	if (argc < 2 || argc > 3 || strlen(argv[1]) % 4 != 0)
		return 2;
	const size_t length = strlen(argv[1]) / 4;
	wchar_t *line = static_cast<wchar_t *>(calloc(length + 1, sizeof *line));
	for (size_t index = 0; index < length; ++index) {
		char digits[5] = {};
		memcpy(digits, argv[1] + 4 * index, 4);
		line[index] = static_cast<wchar_t>(strtoul(digits, nullptr, 16));
	}
	/* Exactly as large as the splitter may need: the sanitizers see any overrun. */
	wchar_t *buffer = static_cast<wchar_t *>(malloc((length + 1) * sizeof *buffer));
	const size_t capacity = argc == 3 ? strtoul(argv[2], nullptr, 10) : length + 1;
	const wchar_t **arguments = static_cast<const wchar_t **>(calloc(capacity + 1, sizeof *arguments));
	if (line == nullptr || buffer == nullptr || arguments == nullptr)
		return 3;

	const size_t count = split_windows_command_line(line, buffer, arguments, capacity);
	printf("%u\n", static_cast<unsigned>(count));
	for (size_t index = 0; index < count && index < capacity; ++index) {
		for (const wchar_t *unit = arguments[index]; *unit != L'\0'; ++unit)
			printf("%04x", static_cast<unsigned>(*unit));
		printf("\n");
	}
	free(arguments);
	free(buffer);
	free(line);
	return 0;
}
