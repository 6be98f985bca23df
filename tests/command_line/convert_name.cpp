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
#include <windows.h>

#include "command_line.h"

/* Wine converts what Windows refuses: for UTF-8, Windows takes no flag but
 * WC_ERR_INVALID_CHARS, and Windows before 10 version 1709 no
 * default-character pointers either; it fails with ERROR_INVALID_PARAMETER
 * (WideCharToMultiByte's documentation).  tolvane runs on those versions
 * too, so the harness is linked with --wrap=WideCharToMultiByte, and the
 * conversion's calls meet their rules here; the wrapper reaches the real
 * function through GetProcAddress, since the wrap also redirects the
 * import. */
extern "C" int WINAPI __wrap_WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int length, LPSTR out,
						 int size, LPCCH default_char, LPBOOL used_default_char)
{
	if (code_page == CP_UTF8 &&
	    ((flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0 || default_char != nullptr ||
	     used_default_char != nullptr)) {
		SetLastError(ERROR_INVALID_PARAMETER);
		return 0;
	}
	typedef int(WINAPI * convert)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL);
	const auto windows_conversion = reinterpret_cast<convert>(reinterpret_cast<void (*)()>(
		GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WideCharToMultiByte")));
	return windows_conversion(code_page, flags, text, length, out, size, default_char, used_default_char);
}

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
