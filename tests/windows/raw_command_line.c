/* Starts a program with exactly the command line read from a file, in
 * UTF-16 (little-endian, no byte-order mark), its standard handles this
 * process's own, and exits with the program's status; with STATUS, also
 * writes the whole status to that file in decimal, which Wine cuts to 8
 * bits as an exit status; with "detached", starts it without a console, as
 * a service or an engine's agent may (DETACHED_PROCESS):
 *   raw_command_line COMMAND-LINE [STATUS [detached]]
 * Tests see how the program itself splits and converts a command line. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "command_line_file.h"

int main(int argc, char *argv[])
{
	wchar_t *command_line = argc >= 2 && argc <= 4 ? command_line_from(argv[1]) : NULL;
	if (command_line == NULL)
		return 121;

	STARTUPINFOW startup = {.cb = sizeof startup, .dwFlags = STARTF_USESTDHANDLES};
	startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
	startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
	HANDLE standard[] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
	for (int i = 0; i < 3; ++i)
		SetHandleInformation(standard[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

	PROCESS_INFORMATION process;
	const DWORD flags = argc == 4 && strcmp(argv[3], "detached") == 0 ? DETACHED_PROCESS : 0;
	if (!CreateProcessW(NULL, command_line, NULL, NULL, TRUE, flags, NULL, NULL, &startup, &process)) {
		fprintf(stderr, "raw_command_line: CreateProcessW failed with error %lu\n", GetLastError());
		return 122;
	}
	DWORD status = 123;
	WaitForSingleObject(process.hProcess, INFINITE);
	GetExitCodeProcess(process.hProcess, &status);
	FILE *file = argc >= 3 ? fopen(argv[2], "w") : NULL;
	if (file != NULL && (fprintf(file, "%lu\n", status) < 0 || fclose(file) != 0))
		return 124;
	return (int)status;
}
