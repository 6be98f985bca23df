/* restrict_search_paths() where KERNEL32 has no SetDefaultDllDirectories
 * (Windows 5.2, Vista, 7 without KB2533623), which Wine cannot be, and
 * where it cannot show the fallback's effect (it keeps the current folder
 * searched).  Linked with --wrap: GetProcAddress finds nothing, and each
 * SetDllDirectoryW call is printed instead of made. */
#include <stdio.h>
#include <windows.h>

#include "search_paths.h"

extern "C" FARPROC WINAPI __wrap_GetProcAddress(HMODULE, LPCSTR)
{
	return nullptr;
}

extern "C" BOOL WINAPI __wrap_SetDllDirectoryW(LPCWSTR folder)
{
	printf("SetDllDirectoryW(");
	if (folder == nullptr)
		printf("NULL");
	else
		for (printf("\""); *folder != L'\0'; ++folder)
			printf("%04x", *folder);
	printf(folder == nullptr ? ")\n" : "\")\n");
	return TRUE;
}

int main()
{
	restrict_search_paths();
	return 0;
}
