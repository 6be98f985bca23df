/* tolvane-run started without administrator rights, as Wine cannot start
 * it: linked with --wrap=CreateProcessW, whose every call fails as Windows
 * fails it for a program whose manifest demands them. */
#include <windows.h>

extern "C" BOOL WINAPI __wrap_CreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
					     DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
	SetLastError(740); /* ERROR_ELEVATION_REQUIRED */
	return FALSE;
}
