/* Built as tolvane.exe is, but without a load configuration, so that no
 * loader replaces its stack cookie and only the entry point's seeding can:
 *   stack_cookie          prints the cookie as main finds it, in hexadecimal
 *   stack_cookie install  calls the installer library's install and returns
 *   stack_cookie smash    the same, but writes past a buffer on the stack
 *                         before it returns: the cookie's check must end the
 *                         process first
 * A vectored exception handler writes "handler" on standard output, should
 * anything raise an exception; the stand-in shows its clean-up at process
 * detach when its environment asks it to print as it unloads; and
 * TerminateProcess, linked with --wrap, writes "TerminateProcess" first, as
 * the check's failure must call it only where fast fail is absent.  Built
 * as stack_cookie_without_fast_fail, it runs as on Windows before 8, where
 * IsProcessorFeaturePresent says that fast fail is absent. */
#include <stdint.h>
#include <windows.h>

#include "zel_act_installer.h"

extern uintptr_t __stack_chk_guard;

/* Far past the buffer, and unknown to the compiler. */
static volatile size_t smash_length = 64;

static void put(const char *text)
{
	DWORD written = 0;
	WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

#ifdef WITHOUT_FAST_FAIL
BOOL WINAPI __wrap_IsProcessorFeaturePresent(DWORD feature)
{
	return feature != PF_FASTFAIL_AVAILABLE;
}
#endif

/* The wrap takes the import too: the real function by its address. */
BOOL WINAPI __wrap_TerminateProcess(HANDLE process, UINT status)
{
	typedef BOOL(WINAPI * terminate_process)(HANDLE, UINT);
	put("TerminateProcess\n");
	return ((terminate_process)(void (*)(void))GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
								     "TerminateProcess"))(process, status);
}

/* The pointer through which the run-time's call, declared dllimport,
 * reaches the wrapper: lld 16 leaves its own one empty. */
BOOL(WINAPI *const __imp___wrap_TerminateProcess)(HANDLE, UINT) = __wrap_TerminateProcess;

static LONG WINAPI handler(EXCEPTION_POINTERS *exception)
{
	(void)exception;
	put("handler\n");
	return EXCEPTION_CONTINUE_SEARCH;
}

__attribute__((noinline)) static void smash(size_t length)
{
	char buffer[16];
	volatile char *end = buffer;
	for (size_t index = 0; index < length; ++index)
		end[index] = 'x';
	put("returning\n");
}

static int ends_with(const wchar_t *line, const wchar_t *word)
{
	const int length = lstrlenW(line), word_length = lstrlenW(word);
	return length >= word_length && lstrcmpW(line + length - word_length, word) == 0;
}

int main(void)
{
	const wchar_t *line = GetCommandLineW();
	if (ends_with(line, L"smash") || ends_with(line, L"install")) {
		AddVectoredExceptionHandler(1, handler);
		zelActSvcInstallWin("Acme", "Widget");
		smash(ends_with(line, L"smash") ? smash_length : 0);
		return 0;
	}
	char digits[] = "0123456789abcdef\n";
	for (int index = 15; index >= 0; --index)
		digits[15 - index] = "0123456789abcdef"[__stack_chk_guard >> (4 * index) & 15];
	put(digits);
	return 0;
}
