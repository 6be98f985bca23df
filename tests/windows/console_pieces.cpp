/* tolvane's console output on a system whose ANSI code page is UTF-8
 * (Windows 10 1903 and later can be set up so), which Wine cannot be:
 *   console_pieces TEXT WRITES
 * Prints the text of the file TEXT with print_message("%s") and writes each
 * console write that it makes to the file WRITES, one line each, its UTF-16
 * units in hexadecimal.  Linked with --wrap for three functions: standard
 * output counts as a console, the ANSI code page converts as UTF-8, and
 * WriteConsoleW is recorded instead of shown. */
#include <stdio.h>
#include <windows.h>

#include "console.h"

static FILE *writes;

extern "C" BOOL WINAPI __wrap_GetConsoleMode(HANDLE, LPDWORD mode)
{
	*mode = ENABLE_PROCESSED_OUTPUT;
	return TRUE;
}

extern "C" int WINAPI __wrap_MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int length, LPWSTR out,
						 int size)
{
	/* The wrap redirects the import too: the real function by its address. */
	typedef int(WINAPI * convert)(UINT, DWORD, LPCCH, int, LPWSTR, int);
	const auto windows_conversion = reinterpret_cast<convert>(reinterpret_cast<void (*)()>(
		GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "MultiByteToWideChar")));
	return windows_conversion(code_page == CP_ACP ? CP_UTF8 : code_page, flags, text, length, out, size);
}

extern "C" BOOL WINAPI __wrap_WriteConsoleW(HANDLE, const void *text, DWORD length, LPDWORD written, LPVOID)
{
	for (DWORD index = 0; index < length; ++index)
		fprintf(writes, "%04x", static_cast<const wchar_t *>(text)[index]);
	fputc('\n', writes);
	*written = length;
	return TRUE;
}

int main(int argc, char *argv[])
{
	static char text[1 << 20];
	FILE *input = argc == 3 ? fopen(argv[1], "rb") : nullptr;
	writes = argc == 3 ? fopen(argv[2], "w") : nullptr;
	if (input == nullptr || writes == nullptr)
		return 2;
	text[fread(text, 1, sizeof text - 1, input)] = '\0';
	print_message("%s", text);
	return fclose(writes) == 0 ? 0 : 3;
}
