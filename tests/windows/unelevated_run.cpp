/* tolvane-run where Windows refuses to start tolvane.exe, as Wine cannot
 * make it: linked with --wrap=CreateProcessW, whose every call fails with
 * the error that TOLVANE_TEST_CREATE_PROCESS_ERROR gives, 740 without it,
 * as Windows fails it for a program whose manifest demands administrator
 * rights.  Each call first writes to standard error the error mode that
 * the new process would inherit, which Wine does not pass on, and whether
 * it would inherit only the handles of a list.  And with
 * --wrap=SetConsoleCtrlHandler, since Wine delivers no Ctrl+Break: the
 * handler's answer to each console event goes to standard error as the
 * handler is set, before tolvane.exe would run. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

extern "C" BOOL WINAPI __wrap_CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
					     DWORD flags, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
	fprintf(stderr, "error mode %#x%s, %s\n", GetErrorMode(),
		(flags & CREATE_DEFAULT_ERROR_MODE) != 0 ? " not inherited" : "",
		(flags & EXTENDED_STARTUPINFO_PRESENT) != 0 ? "a list of handles" : "every inheritable handle");
	const char *error = getenv("TOLVANE_TEST_CREATE_PROCESS_ERROR");
	SetLastError(error != nullptr ? static_cast<DWORD>(strtoul(error, nullptr, 10)) : 740);
	return FALSE;
}

extern "C" BOOL WINAPI __wrap_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL)
{
	fprintf(stderr, "handler answers Ctrl+C %d, Ctrl+Break %d, close %d, logoff %d, shutdown %d\n",
		handler(CTRL_C_EVENT), handler(CTRL_BREAK_EVENT), handler(CTRL_CLOSE_EVENT), handler(CTRL_LOGOFF_EVENT),
		handler(CTRL_SHUTDOWN_EVENT));
	return TRUE;
}
