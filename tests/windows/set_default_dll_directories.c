/* Built into a broken image: SetDefaultDllDirectories imported instead of
 * looked up, which keeps the image from starting on Windows 5.2, Vista and
 * 7 without KB2533623. */
#include <windows.h>

__attribute__((constructor)) static void search_default_folders(void)
{
	SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}
