/*
 * tolvane-run: runs tolvane.exe for a deployment engine, which judges a run
 * by its exit status alone, where tolvane.exe's is 0 on every path.  It
 * starts the tolvane.exe beside it with its own command line's arguments,
 * unchanged, with no input and its output in a log, then shows the log and
 * exits with a status from the outcome line that tolvane.exe wrote there:
 *
 *   0     the anchor service was installed
 *   1603  it was not (ERROR_INSTALL_FAILURE)
 *   87    the usage text, or names the code page cannot hold
 *         (ERROR_INVALID_PARAMETER)
 *   110   the log could not be made or read back, or holds no outcome
 *         (ERROR_OPEN_FAILED)
 *
 * or tolvane.exe's own status where that is not 0, or CreateProcess's error
 * where tolvane.exe could not be started (740: no administrator rights).
 */
#include <windows.h>

#include "command_line.h"
#include "console.h"
#include "messages.h"

enum : DWORD {
	/* ERROR_ELEVATION_REQUIRED, which MinGW-w64 10's headers lack */
	elevation_required = 740,
	installed = ERROR_SUCCESS,
	not_installed = ERROR_INSTALL_FAILURE,
	wrong_arguments = ERROR_INVALID_PARAMETER,
	no_log = ERROR_OPEN_FAILED,
};

enum { path_room = 32768 };
static wchar_t tolvane_path[path_room], log_path[path_room], child_line[path_room];
static char shown_path[3 * path_room];

/* tolvane.exe ends before tolvane-run does, where Windows leaves the time. */
static HANDLE tolvane_process;

static const char *shown(const wchar_t *path)
{
	if (WideCharToMultiByte(CP_ACP, 0, path, -1, shown_path, sizeof shown_path, nullptr, nullptr) == 0)
		shown_path[0] = '\0';
	return shown_path;
}

/* Appends text at *end, within the room of a path buffer. */
static bool append(wchar_t *buffer, size_t *end, const wchar_t *text)
{
	for (; *text != L'\0'; ++text) {
		if (*end + 1 >= path_room)
			return false;
		buffer[(*end)++] = *text;
	}
	buffer[*end] = L'\0';
	return true;
}

/* A file of the given name in tolvane-run.exe's own folder. */
static bool beside_this_program(wchar_t *path, const wchar_t *name)
{
	const DWORD length = GetModuleFileNameW(nullptr, path, path_room);
	if (length == 0 || length >= path_room)
		return false;
	size_t folder = length;
	while (folder > 0 && path[folder - 1] != L'\\')
		--folder;
	return append(path, &folder, name);
}

/* Ctrl+C and Ctrl+Break reach tolvane.exe as well, which decides for itself
 * (once the library has begun it finishes); closing the console, logging
 * off and shutting down end both processes, this one after tolvane.exe
 * where Windows leaves the time. */
static BOOL WINAPI outlive_tolvane(DWORD event)
{
	if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
		return TRUE;
	if (tolvane_process != nullptr)
		WaitForSingleObject(tolvane_process, INFINITE);
	return FALSE;
}

/* Replaced on each run.  The path from TOLVANE_LOG, or tolvane.log beside
 * tolvane-run.exe, a folder that only administrators can write, so that no
 * user can put a link there for an elevated run to follow. */
static HANDLE make_log(SECURITY_ATTRIBUTES *inherited)
{
	const DWORD length = GetEnvironmentVariableW(L"TOLVANE_LOG", log_path, path_room);
	if (length >= path_room) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		return INVALID_HANDLE_VALUE;
	}
	if (length == 0 && !beside_this_program(log_path, L"tolvane.log"))
		return INVALID_HANDLE_VALUE;
	return CreateFileW(log_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, inherited, CREATE_ALWAYS,
			   FILE_ATTRIBUTE_NORMAL, nullptr);
}

/* tolvane.exe's exit status, or CreateProcess's error where it could not
 * start, after it has ended; its input NUL, so that a wrong argument count
 * never waits, its output the log. */
static DWORD run_tolvane(HANDLE log, SECURITY_ATTRIBUTES *inherited)
{
	size_t end = 0;
	if (!beside_this_program(tolvane_path, L"tolvane.exe") || !append(child_line, &end, L"\"") ||
	    !append(child_line, &end, tolvane_path) || !append(child_line, &end, L"\"") ||
	    !append(child_line, &end, after_program_name(GetCommandLineW()))) {
		print_error("tolvane-run: the command line is too long for tolvane.exe\n");
		return wrong_arguments;
	}
	STARTUPINFOW startup = {};
	startup.cb = sizeof startup;
	startup.dwFlags = STARTF_USESTDHANDLES;
	startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, inherited,
					OPEN_EXISTING, 0, nullptr);
	startup.hStdOutput = log;
	startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
	SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
	/* Started by a process without a console (a service, an engine's agent
	 * with DETACHED_PROCESS), tolvane.exe would get a console window of its
	 * own, which the library's console programs share, on the screen of
	 * whoever is logged on: a console without a window instead.  With a
	 * console, tolvane.exe shares it, with its code page and Ctrl+C. */
	const DWORD no_window = GetConsoleCP() == 0 ? CREATE_NO_WINDOW : 0;
	PROCESS_INFORMATION process;
	const BOOL started = CreateProcessW(tolvane_path, child_line, nullptr, nullptr, TRUE, no_window, nullptr,
					    nullptr, &startup, &process);
	const DWORD error = GetLastError();
	CloseHandle(startup.hStdInput);
	if (!started) {
		if (error == elevation_required)
			print_error("tolvane-run: tolvane.exe needs administrator rights: run tolvane-run.exe "
				    "elevated (error %d)\n",
				    static_cast<int>(error));
		else
			print_error("tolvane-run: cannot start %s (error %d)\n", shown(tolvane_path),
				    static_cast<int>(error));
		return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
	}
	tolvane_process = process.hProcess;
	CloseHandle(process.hThread);
	DWORD status = ERROR_GEN_FAILURE;
	WaitForSingleObject(process.hProcess, INFINITE);
	GetExitCodeProcess(process.hProcess, &status);
	return status;
}

/* A line that tolvane.exe may write first, and the status that it gives. */
struct outcome {
	DWORD status;
	char *line;
};

/* What tolvane.exe writes first for this command line, with the status of
 * each: tolvane-run.exe passed its own arguments on unchanged, and splits
 * and converts them exactly as tolvane.exe does.  Returns their number. */
static size_t outcomes_for_these_names(outcome *outcomes)
{
	const char *publisher = nullptr, *product = nullptr;
	if (command_line_names(0, nullptr, &publisher, &product) != 3) {
		outcomes[0] = {wrong_arguments, message_text(USAGE_LINE)};
		return 1;
	}
	if (publisher == nullptr || product == nullptr) {
		outcomes[0] = {wrong_arguments, message_text(NAMES_REFUSED_LINE)};
		return 1;
	}
	outcomes[0] = {installed, message_text(INSTALLED_LINE, publisher, product)};
	outcomes[1] = {not_installed, message_text(NOT_INSTALLED_LINE, publisher, product)};
	return 2;
}

/* Names hold no NUL, nor do tolvane.exe's lines. */
static bool begins_with(const char *text, size_t length, const char *beginning)
{
	if (beginning == nullptr)
		return false;
	size_t index = 0;
	for (; beginning[index] != '\0'; ++index)
		if (index == length || text[index] != beginning[index])
			return false;
	return true;
}

/* The status of the first of the outcomes that begins a line of the log;
 * no_log where none does. */
static DWORD first_outcome(const char *log, size_t size, const outcome *outcomes, size_t count)
{
	for (size_t start = 0; start < size; ++start) {
		for (size_t index = 0; index < count; ++index)
			if (begins_with(log + start, size - start, outcomes[index].line))
				return outcomes[index].status;
		while (start < size && log[start] != '\n')
			++start;
	}
	return no_log;
}

/* The status that tolvane.exe's line for these names gives, wherever it
 * begins a line of the log.  The installer library writes to the same
 * output: what it writes before that line, between tolvane.exe's lines or
 * after them decides nothing, nor can a name pass for another outcome,
 * each line holding both names whole. */
static DWORD outcome_in(const char *log, size_t size)
{
	outcome outcomes[2] = {};
	const size_t count = outcomes_for_these_names(outcomes);
	const DWORD status = first_outcome(log, size, outcomes, count);
	for (size_t index = 0; index < count; ++index)
		HeapFree(GetProcessHeap(), 0, outcomes[index].line);
	return status;
}

/* The log, read back once tolvane.exe has ended, to standard output: its
 * bytes, or on a console its text; and the status of its outcome. */
static DWORD show_log(HANDLE log)
{
	const HANDLE heap = GetProcessHeap();
	const DWORD size = GetFileSize(log, nullptr);
	char *text = size != INVALID_FILE_SIZE ? static_cast<char *>(HeapAlloc(heap, 0, size + 1)) : nullptr;
	DWORD read = 0;
	if (text == nullptr || SetFilePointer(log, 0, nullptr, FILE_BEGIN) != 0 ||
	    !ReadFile(log, text, size, &read, nullptr)) {
		print_error("tolvane-run: cannot read the log %s back (error %d)\n", shown(log_path),
			    static_cast<int>(GetLastError()));
		return no_log;
	}
	write_output(text, read);
	const DWORD status = outcome_in(text, read);
	HeapFree(heap, 0, text);
	if (status == no_log)
		print_error("tolvane-run: the log %s holds no outcome of tolvane.exe's\n", shown(log_path));
	return status;
}

int main(int, char *[])
{
	SetConsoleCtrlHandler(outlive_tolvane, TRUE);
	SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
	const HANDLE log = make_log(&inherited);
	if (log == INVALID_HANDLE_VALUE) {
		print_error("tolvane-run: cannot make the log %s (error %d)\n", shown(log_path),
			    static_cast<int>(GetLastError()));
		return static_cast<int>(no_log);
	}
	const DWORD status = run_tolvane(log, &inherited);
	if (tolvane_process == nullptr)
		return static_cast<int>(status);
	const DWORD outcome = show_log(log);
	if (status == ERROR_SUCCESS)
		return static_cast<int>(outcome);
	print_error("tolvane-run: tolvane.exe ended with status %d\n", static_cast<int>(status));
	return static_cast<int>(status);
}
