/* Built into a broken image: a call into a system DLL that tolvane.exe
 * must not import. */
#include <windows.h>

__attribute__((constructor)) static void beep(void)
{
	MessageBeep(MB_OK);
}
