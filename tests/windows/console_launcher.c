/* Runs a program on this process's console, as an administrator's prompt
 * does, and writes down what the console then shows:
 *   console_launcher CODE-PAGE COMMAND-LINE SCREEN [CTRL-C-WHEN]
 * Sets the console's output code page, starts the program with exactly the
 * command line read from the file COMMAND-LINE (UTF-16, little-endian, no
 * byte-order mark) on the same console, and waits for it.  With CTRL-C-WHEN,
 * as soon as that file exists, Ctrl+C goes to every process on the console.
 * Then the console's rows, from the top to the cursor's, each without its
 * trailing blanks and ended with "\n", go to the file SCREEN in UTF-16.
 * Exits with the program's status. */
#include <stdio.h>
#include <windows.h>

#include "command_line_file.h"

/* The launcher itself outlives the Ctrl+C it sends.  A handler, not
 * SetConsoleCtrlHandler(NULL, TRUE), which the program would inherit. */
static BOOL WINAPI outlive_ctrl_c(DWORD event)
{
	return event == CTRL_C_EVENT;
}

static BOOL write_screen(const char *path)
{
	HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
	CONSOLE_SCREEN_BUFFER_INFO screen;
	if (!GetConsoleScreenBufferInfo(console, &screen))
		return FALSE;
	FILE *file = fopen(path, "wb");
	if (file == NULL)
		return FALSE;
	static wchar_t row[32768];
	for (SHORT y = 0; y <= screen.dwCursorPosition.Y; ++y) {
		DWORD read = 0;
		COORD start = {0, y};
		ReadConsoleOutputCharacterW(console, row, (DWORD)screen.dwSize.X, start, &read);
		while (read > 0 && row[read - 1] == L' ')
			--read;
		row[read++] = L'\n';
		fwrite(row, sizeof row[0], read, file);
	}
	return fclose(file) == 0;
}

int main(int argc, char *argv[])
{
	wchar_t *command_line = argc == 4 || argc == 5 ? command_line_from(argv[2]) : NULL;
	if (command_line == NULL)
		return 121;
	if (!SetConsoleOutputCP((UINT)atoi(argv[1])))
		return 122;
	if (argc == 5)
		SetConsoleCtrlHandler(outlive_ctrl_c, TRUE);

	STARTUPINFOW startup = {.cb = sizeof startup};
	PROCESS_INFORMATION process;
	if (!CreateProcessW(NULL, command_line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
		return 123;
	if (argc == 5) {
		while (GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES &&
		       WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT)
			;
		GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
	}
	DWORD status = 124;
	WaitForSingleObject(process.hProcess, INFINITE);
	GetExitCodeProcess(process.hProcess, &status);
	if (!write_screen(argv[3]))
		return 125;
	return (int)status;
}
