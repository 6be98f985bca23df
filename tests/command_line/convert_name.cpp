/* Converts names with tolvane's conversion to a code page, for any code
 * page that Windows (or Wine) has installed, whatever its ANSI one:
 *   convert_name CASES
 * Each line of the file CASES is a code page, a blank, then a name as
 * UTF-16 units of four hexadecimal digits each.  For each it prints a line:
 * the bytes of the converted name in hexadecimal, its NUL left out, or
 * "refused". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "command_line.h"

int main(int argc, char *argv[])
{
	static char text[1 << 16];
	static wchar_t name[sizeof text / 4 + 1];
	static char converted[3 * (sizeof text / 4 + 1)];
	FILE *cases = argc == 2 ? fopen(argv[1], "r") : nullptr;
	if (cases == nullptr)
		return 2;
	while (fgets(text, sizeof text, cases) != nullptr) {
		char *hex = strchr(text, ' ');
		if (hex == nullptr)
			return 2;
		hex[strcspn(hex, "\r\n")] = '\0';
		size_t length = strlen(++hex) / 4;
		for (size_t index = 0; index < length; ++index) {
			char digits[5] = {};
			memcpy(digits, hex + 4 * index, 4);
			name[index] = static_cast<wchar_t>(strtoul(digits, nullptr, 16));
		}
		name[length] = L'\0';
		const unsigned code_page = static_cast<unsigned>(strtoul(text, nullptr, 10));
		const int size = name_in_code_page(code_page, name, converted, sizeof converted);
		if (size == 0)
			printf("refused");
		for (int index = 0; index + 1 < size; ++index)
			printf("%02x", static_cast<unsigned char>(converted[index]));
		printf("\n");
	}
	fclose(cases);
	return 0;
}
