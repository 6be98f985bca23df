/* The command line that a launcher passes on exactly, read from a file in
 * UTF-16 (little-endian, no byte-order mark); NULL if it cannot be read. */
#include <stdio.h>
#include <wchar.h>

static wchar_t *command_line_from(const char *path)
{
	static wchar_t command_line[32768];
	FILE *file = fopen(path, "rb");
	if (file == NULL)
		return NULL;
	size_t length = fread(command_line, sizeof command_line[0], 32767, file);
	fclose(file);
	command_line[length] = L'\0';
	return command_line;
}
