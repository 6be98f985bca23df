/* A console program such as an installer library runs while it installs
 * (sc.exe, netsh): sleeps for the milliseconds given, then exits with
 * status 42; an event that ends it first gives another status. */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char *argv[])
{
	Sleep(argc == 2 ? (DWORD)atoi(argv[1]) : 0);
	return 42;
}
