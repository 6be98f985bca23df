/* tolvane-run where KERNEL32 has no list of the handles that a new process
 * inherits, as before Vista, which Wine cannot be: linked with
 * --wrap=GetProcAddress, which finds neither function of that list. */
#include <string.h>
#include <windows.h>

extern "C" FARPROC WINAPI __real_GetProcAddress(HMODULE, LPCSTR);

extern "C" FARPROC WINAPI __wrap_GetProcAddress(HMODULE module, LPCSTR name)
{
	if (strcmp(name, "InitializeProcThreadAttributeList") == 0 || strcmp(name, "UpdateProcThreadAttribute") == 0)
		return nullptr;
	return __real_GetProcAddress(module, name);
}
