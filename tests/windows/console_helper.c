/* A console program such as an installer library runs while it installs
 * (sc.exe, netsh):
 *   console_helper MILLISECONDS [MARK]
 * makes the file MARK, if given, once it runs, sleeps for the milliseconds
 * given, then exits with its console's output code page as its status, 0
 * where it has no console; an event that ends it first gives another
 * status. */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char *argv[])
{
	if (argc == 3)
		CloseHandle(CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
	Sleep(argc >= 2 ? (DWORD)atoi(argv[1]) : 0);
	return (int)GetConsoleOutputCP();
}
