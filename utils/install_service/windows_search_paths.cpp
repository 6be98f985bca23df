/*
 * The load configuration's DependentLoadFlags govern only tolvane.exe's own
 * load-time imports.  A library that the installer library loads by name
 * while it installs would still be searched for in the current folder and
 * on PATH, and a program that it starts by name (sc.exe, or cmd.exe running
 * one) in the current folder first: folders a user may be able to write, in
 * a process that runs with administrator rights.
 */
#include "search_paths.h"

#include <windows.h>

void restrict_search_paths()
{
	/* CreateProcess and cmd.exe leave the current folder out of their
	 * search for a program named without a folder while this variable is
	 * set, whatever its value, in tolvane's process and in every process
	 * that inherits its environment.  The current folder itself stays as
	 * the caller set it. */
	SetEnvironmentVariableW(L"NoDefaultCurrentDirectoryInExePath", L"1");

	/* Windows 8 and later, and 7 with KB2533623.  Looked up, not imported:
	 * an import of it would keep tolvane.exe from starting on 5.2, Vista
	 * and 7 without the update. */
	typedef BOOL(WINAPI * set_default_dll_directories)(DWORD);
	const auto set_default = reinterpret_cast<set_default_dll_directories>(reinterpret_cast<void (*)()>(
		GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
	/* tolvane.exe's folder, System32, and folders added with AddDllDirectory */
	if (set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
		return;
	/* Elsewhere at least not the current folder; PATH stays searched. */
	SetDllDirectoryW(L"");
}
