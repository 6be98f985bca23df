/* tolvane-run started without administrator rights, as Wine cannot start
 * it: linked with --wrap=CreateProcessW, whose every call fails as Windows
 * fails it for a program whose manifest demands them.  And with
 * --wrap=SetConsoleCtrlHandler, since Wine delivers no Ctrl+Break: the
 * handler's answer to each console event goes to standard error as the
 * handler is set, before tolvane.exe would run. */
#include <stdio.h>
#include <windows.h>

extern "C" BOOL WINAPI __wrap_CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
					     DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
	SetLastError(740); /* ERROR_ELEVATION_REQUIRED */
	return FALSE;
}

extern "C" BOOL WINAPI __wrap_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL)
{
	fprintf(stderr, "handler answers Ctrl+C %d, Ctrl+Break %d, close %d, logoff %d, shutdown %d\n",
		handler(CTRL_C_EVENT), handler(CTRL_BREAK_EVENT), handler(CTRL_CLOSE_EVENT), handler(CTRL_LOGOFF_EVENT),
		handler(CTRL_SHUTDOWN_EVENT));
	return TRUE;
}
