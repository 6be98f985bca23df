/* Runs a program on this process's console, as an administrator's prompt
 * does, and writes down what the console then shows and holds:
 *   console_launcher CODE-PAGE COMMAND-LINE SCREEN INPUT [CTRL-C-WHEN]
 * Sets the console's output code page, starts the program with exactly the
 * command line read from the file COMMAND-LINE (UTF-16, little-endian, no
 * byte-order mark) on the same console, and waits for it.  With CTRL-C-WHEN,
 * as soon as that file exists, Ctrl+C goes to every process on the console
 * (Wine delivers no Ctrl+Break so).  Then the console's rows, from the
 * top to the cursor's, each without its trailing blanks and ended with
 * "\n", go to the file SCREEN in UTF-16; and, without CTRL-C-WHEN, what a
 * shell started next on the console would read first goes to the file
 * INPUT: the rest of a typed line that the program left unread, or else
 * only CR LF (after Ctrl+C ended a read, Wine's console holds the next one
 * up).  Exits with the program's status. */
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

static BOOL write_input(const char *path)
{
	/* Enter pressed after whatever is left, so that the read never waits. */
	HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
	INPUT_RECORD enter = {.EventType = KEY_EVENT};
	enter.Event.KeyEvent.bKeyDown = TRUE;
	enter.Event.KeyEvent.wRepeatCount = 1;
	enter.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
	enter.Event.KeyEvent.uChar.UnicodeChar = L'\r';
	static char line[4096];
	DWORD written = 0, read = 0;
	if (!WriteConsoleInputW(input, &enter, 1, &written) || !ReadFile(input, line, sizeof line, &read, NULL))
		return FALSE;
	FILE *file = fopen(path, "wb");
	if (file == NULL)
		return FALSE;
	fwrite(line, 1, read, file);
	return fclose(file) == 0;
}

int main(int argc, char *argv[])
{
	wchar_t *command_line = argc == 5 || argc == 6 ? command_line_from(argv[2]) : NULL;
	if (command_line == NULL)
		return 121;
	/* Fails where Wine started this process without a console. */
	if (!SetConsoleOutputCP((UINT)atoi(argv[1]))) {
		fprintf(stderr, "console_launcher: SetConsoleOutputCP failed with error %lu\n", GetLastError());
		return 122;
	}
	if (argc == 6)
		SetConsoleCtrlHandler(outlive_ctrl_c, TRUE);

	STARTUPINFOW startup = {.cb = sizeof startup};
	PROCESS_INFORMATION process;
	if (!CreateProcessW(NULL, command_line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
		fprintf(stderr, "console_launcher: CreateProcessW failed with error %lu\n", GetLastError());
		return 123;
	}
	if (argc == 6) {
		while (GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES &&
		       WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT)
			;
		GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
	}
	DWORD status = 124;
	WaitForSingleObject(process.hProcess, INFINITE);
	GetExitCodeProcess(process.hProcess, &status);
	if (!write_screen(argv[3]) || (argc == 5 && !write_input(argv[4]))) {
		fprintf(stderr, "console_launcher: the console could not be read back (error %lu)\n", GetLastError());
		return 125;
	}
	return (int)status;
}
