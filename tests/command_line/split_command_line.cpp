/* Splits command lines with tolvane's Windows splitter, on any platform:
 *   split_command_line CASES
 * Each line of the file CASES is one command line: a capacity, or "all",
 * a blank, then the line as UTF-16 units of four hexadecimal digits each.
 * For each it prints a line: the number of arguments, then, each after " =",
 * the arguments kept (all of them, or the first CAPACITY) in the same
 * hexadecimal form.  One process for all the lines: under Wine each start
 * costs a tenth of a second.
 *
 * The splitter gets exactly the room it may use, so that the sanitizers
 * see any write beyond it: a buffer of the line's length plus one
 * characters, and exactly CAPACITY argument slots (for "all", as many as
 * the splitter counts with none). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_line.h"

static const wchar_t **argument_slots(size_t capacity)
{
	/* malloc(0) may give a null pointer: the splitter must not touch it anyway. */
	return static_cast<const wchar_t **>(malloc(capacity * sizeof(const wchar_t *)));
}

static int split_one(char *text)
{
	char *hex = strchr(text, ' ');
	if (hex == nullptr)
		return 2;
	*hex++ = '\0';
	hex[strcspn(hex, "\r\n")] = '\0';
	const size_t length = strlen(hex) / 4;
	if (strlen(hex) % 4 != 0)
		return 2;
	wchar_t *line = static_cast<wchar_t *>(calloc(length + 1, sizeof *line));
	wchar_t *buffer = static_cast<wchar_t *>(malloc((length + 1) * sizeof *buffer));
	if (line == nullptr || buffer == nullptr)
		return 3;
	for (size_t index = 0; index < length; ++index) {
		char digits[5] = {};
		memcpy(digits, hex + 4 * index, 4);
		line[index] = static_cast<wchar_t>(strtoul(digits, nullptr, 16));
	}

	size_t capacity;
	if (strcmp(text, "all") == 0) {
		const wchar_t **none = argument_slots(0);
		capacity = split_windows_command_line(line, buffer, none, 0);
		free(none);
	} else {
		capacity = strtoul(text, nullptr, 10);
	}
	const wchar_t **arguments = argument_slots(capacity);
	if (arguments == nullptr && capacity > 0)
		return 3;
	const size_t count = split_windows_command_line(line, buffer, arguments, capacity);
	printf("%u", static_cast<unsigned>(count));
	for (size_t index = 0; index < count && index < capacity; ++index) {
		printf(" =");
		for (const wchar_t *unit = arguments[index]; *unit != L'\0'; ++unit)
			printf("%04x", static_cast<unsigned>(*unit));
	}
	printf("\n");
	free(arguments);
	free(buffer);
	free(line);
	return 0;
}

int main(int argc, char *argv[])
{
	static char text[1 << 20];
	FILE *cases = argc == 2 ? fopen(argv[1], "r") : nullptr;
	if (cases == nullptr)
		return 2;
	int status = 0;
	while (status == 0 && fgets(text, sizeof text, cases) != nullptr)
		status = split_one(text);
	fclose(cases);
	return status;
}
