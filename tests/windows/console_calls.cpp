/* tolvane's console calls where neither Windows nor Wine can be made to
 * show them: messages on a system whose ANSI code page is UTF-8 (Windows 10
 * 1903 and later can be set up so), without memory, on a character device
 * that is not a console's screen, and with a conversion the formatter does
 * not know; a text shown in pieces whose edges cut its characters; and
 * Ctrl+Break, which Wine does not deliver:
 *   console_calls MODE TEXT CALLS
 * Prints the file TEXT with print_message, the text being the format, and
 * writes each write it makes to the file CALLS, one line each: "console"
 * and the UTF-16 units, or "file" and the bytes, in hexadecimal.  Linked
 * with --wrap: standard output is a character device; the ANSI code page
 * is UTF-8, or with MODE "pieces-932" code page 932; WriteConsoleW and
 * WriteFile are recorded instead of made; with MODE "not-a-screen"
 * WriteConsoleW fails, with "no-memory" HeapAlloc does, and elsewhere each
 * block it gives ends where memory that may not be touched begins, so that
 * a byte written past it ends the program, which Wine's heap would not
 * show.  With MODE "pieces-65001" or "pieces-932" it shows the text with
 * write_output, two bytes more each time, as tolvane-run shows its log.
 * With MODE "interrupts" it calls ignore_interrupts() instead, and writes
 * down each SetConsoleCtrlHandler call, a handler's answers to the
 * events. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "console.h"

static FILE *writes;
static const char *mode;

extern "C" DWORD WINAPI __wrap_GetFileType(HANDLE)
{
	return FILE_TYPE_CHAR;
}

/* The wrap redirects the import too: the real function by its address. */
template <typename Function> static Function *windows_function(const char *name)
{
	return reinterpret_cast<Function *>(
		reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

extern "C" LPVOID WINAPI __wrap_HeapAlloc(HANDLE, DWORD, SIZE_T size)
{
	if (strcmp(mode, "no-memory") == 0)
		return nullptr;
	const SIZE_T page = 4096, pages = (size + page - 1) / page + 1;
	auto *const block = static_cast<char *>(VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE,
							     PAGE_READWRITE));
	DWORD old = 0;
	if (block == nullptr || !VirtualProtect(block + (pages - 1) * page, page, PAGE_NOACCESS, &old))
		return nullptr;
	return block + (pages - 1) * page - size;
}

/* The program runs once: nothing given back. */
extern "C" BOOL WINAPI __wrap_HeapFree(HANDLE, DWORD, LPVOID)
{
	return TRUE;
}

static UINT ansi_code_page()
{
	return strcmp(mode, "pieces-932") == 0 ? 932 : CP_UTF8;
}

extern "C" int WINAPI __wrap_MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int length, LPWSTR out,
						 int size)
{
	return windows_function<int WINAPI(UINT, DWORD, LPCCH, int, LPWSTR, int)>("MultiByteToWideChar")(
		code_page == CP_ACP ? ansi_code_page() : code_page, flags, text, length, out, size);
}

extern "C" BOOL WINAPI __wrap_GetCPInfoExW(UINT code_page, DWORD flags, LPCPINFOEXW info)
{
	return windows_function<BOOL WINAPI(UINT, DWORD, LPCPINFOEXW)>("GetCPInfoExW")(
		code_page == CP_ACP ? ansi_code_page() : code_page, flags, info);
}

extern "C" BOOL WINAPI __wrap_WriteConsoleW(HANDLE, const void *text, DWORD length, LPDWORD written, LPVOID)
{
	if (strcmp(mode, "not-a-screen") == 0)
		return FALSE;
	fprintf(writes, "console ");
	for (DWORD index = 0; index < length; ++index)
		fprintf(writes, "%04x", static_cast<const wchar_t *>(text)[index]);
	fputc('\n', writes);
	*written = length;
	return TRUE;
}

extern "C" BOOL WINAPI __wrap_WriteFile(HANDLE, LPCVOID bytes, DWORD length, LPDWORD written, LPOVERLAPPED)
{
	fprintf(writes, "file ");
	for (DWORD index = 0; index < length; ++index)
		fprintf(writes, "%02x", static_cast<const unsigned char *>(bytes)[index]);
	fputc('\n', writes);
	*written = length;
	return TRUE;
}

extern "C" BOOL WINAPI __wrap_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
	if (handler == nullptr)
		fprintf(writes, "SetConsoleCtrlHandler NULL %d\n", add);
	else
		fprintf(writes, "SetConsoleCtrlHandler handler %d: break %d, close %d, logoff %d, shutdown %d\n", add,
			handler(CTRL_BREAK_EVENT), handler(CTRL_CLOSE_EVENT), handler(CTRL_LOGOFF_EVENT),
			handler(CTRL_SHUTDOWN_EVENT));
	return TRUE;
}

int main(int argc, char *argv[])
{
	static char text[1 << 20];
	FILE *input = argc == 4 ? fopen(argv[2], "rb") : nullptr;
	writes = argc == 4 ? fopen(argv[3], "w") : nullptr;
	if (input == nullptr || writes == nullptr)
		return 2;
	mode = argv[1];
	text[fread(text, 1, sizeof text - 1, input)] = '\0';
#pragma clang diagnostic ignored "-Wformat-nonliteral"
#pragma clang diagnostic ignored "-Wformat-security"
	if (strcmp(mode, "interrupts") == 0) {
		ignore_interrupts();
	} else if (strncmp(mode, "pieces-", 7) == 0) {
		const size_t length = strlen(text);
		for (size_t shown = 0, end = 0; shown < length;) {
			end = end + 2 < length ? end + 2 : length;
			shown += write_output(text + shown, end - shown, end < length);
		}
	} else {
		print_message(text);
	}
	return fclose(writes) == 0 ? 0 : 3;
}
