/*
 * tolvane.exe's entry point.  The image carries no C run-time and none of
 * its start-up code: Windows calls this function first, and it ends the
 * process itself.
 */
#include <windows.h>

#include "run_time.h"

int main(int argc, char *argv[]);
void take_standard_handles(void);

/* clang calls __main first thing in main, where MinGW's start-up code runs
 * the constructors of static objects; tolvane has none (the build makes one
 * an error). */
void __main(void)
{
}

/* main reads the command line from Windows, not from its arguments.  The
 * entry point never returns: that would end only this thread, and a thread
 * that the installer library started would keep the process alive and give
 * it its own exit status; nor is its frame checked, as the cookie changes
 * under it. */
__attribute__((noreturn, no_stack_protector)) void tolvane_start(void)
{
	seed_stack_cookie();
	take_standard_handles();
	ExitProcess((UINT)main(0, NULL));
}
