/*
 * tolvane-run: runs tolvane.exe for a deployment engine, which judges a run
 * by its exit status alone, where tolvane.exe's is 0 on every path.  It
 * starts the tolvane.exe beside it with its own command line's arguments,
 * unchanged, with no input and its output in a log, then shows the log and
 * exits with a status from the outcome line that tolvane.exe wrote there:
 *
 *   0     the anchor service was installed
 *   1603  it was not (ERROR_INSTALL_FAILURE)
 *   87    the usage text, or names the code page cannot hold, or a command
 *         line too long for tolvane.exe (ERROR_INVALID_PARAMETER)
 *   110   the log could not be made or read back, holds no outcome, or is
 *         a program, which it never replaces (ERROR_OPEN_FAILED)
 *   1618  another run holds the log: try again later
 *         (ERROR_INSTALL_ALREADY_RUNNING)
 *   1625  its folder, or a file of tolvane's there, can be changed by
 *         someone who is no administrator: nothing was started
 *         (ERROR_INSTALL_PACKAGE_REJECTED)
 *
 * or tolvane.exe's own status where that is not 0, or CreateProcess's error
 * where tolvane.exe could not be started (740: no administrator rights).
 */
#include <windows.h>

#include "command_line.h"
#include "console.h"
#include "log_search.h"
#include "messages.h"
#include "trusted_files.h"

enum : DWORD {
	installed = ERROR_SUCCESS,
	not_installed = ERROR_INSTALL_FAILURE,
	wrong_arguments = ERROR_INVALID_PARAMETER,
	no_log = ERROR_OPEN_FAILED,
	log_held = ERROR_INSTALL_ALREADY_RUNNING,
	changeable_folder = ERROR_INSTALL_PACKAGE_REJECTED,
};

/* Why Windows did not start tolvane.exe, or ended it, where the code tells:
 * by number, as MinGW-w64 10's headers lack all but one. */
static const struct {
	DWORD code;
	const char *cause;
} causes[] = {
	{740, "it needs administrator rights: run tolvane-run.exe elevated"},
	{4551, "App Control for Business blocked it: allow it in the policy"},
	{ERROR_ACCESS_DISABLED_BY_POLICY, "AppLocker or a software restriction policy blocked it: allow it in the policy"},
	{225, "antivirus software took it for malware, and may have quarantined it"},
	/* STATUS_INVALID_IMAGE_HASH */
	{0xC0000428, "Windows refused a library whose signature it does not accept (code integrity): the installer "
		     "library, or one that it loads"},
};

enum { path_room = 32768, piece_size = 65536, longest_character = 4 };
static wchar_t folder[path_room], tolvane_path[path_room], log_path[path_room], child_line[path_room];
static char shown_path[3 * path_room];
static char piece[longest_character + piece_size];

/* tolvane.exe ends before tolvane-run does, where Windows leaves the time. */
static HANDLE tolvane_process;

static const char *shown(const wchar_t *path)
{
	if (WideCharToMultiByte(CP_ACP, 0, path, -1, shown_path, sizeof shown_path, nullptr, nullptr) == 0)
		shown_path[0] = '\0';
	return shown_path;
}

static const char *cause_of(DWORD code)
{
	for (const auto &known : causes)
		if (known.code == code)
			return known.cause;
	return nullptr;
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

/* A file of the given name in tolvane-run.exe's own folder, or, without a
 * name, the folder. */
static bool beside_this_program(wchar_t *path, const wchar_t *name)
{
	const DWORD length = GetModuleFileNameW(nullptr, path, path_room);
	if (length == 0 || length >= path_room)
		return false;
	size_t end = length;
	while (end > 0 && path[end - 1] != L'\\')
		--end;
	path[end] = L'\0';
	return append(path, &end, name);
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

/* An elevated tolvane.exe runs the installer library, and the libraries
 * beside it, from this folder: one that someone other than an
 * administrator can change would run their code with administrator
 * rights.  The folder, and tolvane's three files in it, where they exist. */
static bool only_administrators_can_change_the_folder()
{
	static const wchar_t *const names[] = {L"", L"tolvane.exe", L"tolvane-run.exe", L"ZEL_Act_Installer.dll"};
	static char account[512];
	for (const wchar_t *name : names) {
		unsigned long error = ERROR_SUCCESS;
		if (!beside_this_program(folder, name)) {
			print_error("tolvane-run: cannot tell which folder it runs from\n");
			return false;
		}
		switch (who_can_change(folder, account, sizeof account, &error)) {
		case file_trust::trusted:
		case file_trust::absent:
			continue;
		case file_trust::changeable:
			print_error("tolvane-run: %s can be changed by %s, not by administrators alone: tolvane.exe would "
				    "run what is put there with administrator rights.  Nothing was started: give the folder "
				    "and its files to administrators alone\n",
				    shown(folder), account);
			return false;
		case file_trust::unknown:
			print_error("tolvane-run: cannot read who may change %s (error %d); nothing was started\n",
				    shown(folder), static_cast<int>(error));
			return false;
		}
	}
	return true;
}

/* The log, emptied for this run, or INVALID_HANDLE_VALUE with the status
 * in *status.  The path from TOLVANE_LOG, or tolvane.log beside
 * tolvane-run.exe, a folder that only administrators can write, so that no
 * user can put a link there for an elevated run to follow.  Held with
 * others allowed only to read it, so that a second run can tell that this
 * one, or what it left running, still has it. */
static HANDLE make_log(SECURITY_ATTRIBUTES *inherited, DWORD *status)
{
	*status = no_log;
	const DWORD length = GetEnvironmentVariableW(L"TOLVANE_LOG", log_path, path_room);
	if (length >= path_room) {
		print_error("tolvane-run: TOLVANE_LOG names a path too long for Windows\n");
		return INVALID_HANDLE_VALUE;
	}
	if (length == 0 && !beside_this_program(log_path, L"tolvane.log")) {
		print_error("tolvane-run: cannot tell which folder it runs from\n");
		return INVALID_HANDLE_VALUE;
	}
	const HANDLE log = CreateFileW(log_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, inherited,
				       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
	const DWORD error = GetLastError();
	if (log == INVALID_HANDLE_VALUE && error == ERROR_SHARING_VIOLATION) {
		*status = log_held;
		print_error("tolvane-run: another run holds the log %s, or a program that it left running does: "
			    "try again later (error %d)\n",
			    shown(log_path), static_cast<int>(error));
		return INVALID_HANDLE_VALUE;
	}
	/* A log named after a program by mistake must not end it. */
	char beginning[2] = {};
	DWORD read = 0;
	if (log != INVALID_HANDLE_VALUE && ReadFile(log, beginning, sizeof beginning, &read, nullptr) && read == 2 &&
	    beginning[0] == 'M' && beginning[1] == 'Z') {
		CloseHandle(log);
		print_error("tolvane-run: %s is a program, not a log: it stays as it is; name another log\n",
			    shown(log_path));
		return INVALID_HANDLE_VALUE;
	}
	if (log == INVALID_HANDLE_VALUE || SetFilePointer(log, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(log)) {
		print_error("tolvane-run: cannot make the log %s (error %d)\n", shown(log_path),
			    static_cast<int>(log == INVALID_HANDLE_VALUE ? error : GetLastError()));
		if (log != INVALID_HANDLE_VALUE)
			CloseHandle(log);
		return INVALID_HANDLE_VALUE;
	}
	return log;
}

using initialize_attribute_list = BOOL(WINAPI *)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
using update_attribute = BOOL(WINAPI *)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID,
					PSIZE_T);

/* The handles that tolvane.exe is to inherit, and none other, as Windows
 * takes them from Vista on; nullptr where it cannot (looked up: the image
 * runs from 5.2 on). */
static LPPROC_THREAD_ATTRIBUTE_LIST only_these_handles(HANDLE *handles, size_t count)
{
	const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
	const auto initialize = reinterpret_cast<initialize_attribute_list>(
		reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "InitializeProcThreadAttributeList")));
	const auto update = reinterpret_cast<update_attribute>(
		reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "UpdateProcThreadAttribute")));
	SIZE_T size = 0;
	if (initialize == nullptr || update == nullptr)
		return nullptr;
	initialize(nullptr, 1, 0, &size);
	auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
	if (list == nullptr || !initialize(list, 1, 0, &size) ||
	    !update(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof *handles, nullptr, nullptr))
		return nullptr;
	return list;
}

/* tolvane.exe's exit status, or CreateProcess's error where it could not
 * start, after it has ended; its input NUL, so that a wrong argument count
 * never waits; its output and its errors the log. */
static DWORD run_tolvane(HANDLE log, SECURITY_ATTRIBUTES *inherited)
{
	size_t end = 0;
	if (!beside_this_program(tolvane_path, L"tolvane.exe") || !append(child_line, &end, L"\"") ||
	    !append(child_line, &end, tolvane_path) || !append(child_line, &end, L"\"") ||
	    !append(child_line, &end, after_program_name(GetCommandLineW()))) {
		print_error("tolvane-run: the command line is too long for tolvane.exe\n");
		return wrong_arguments;
	}
	STARTUPINFOEXW startup = {};
	startup.StartupInfo.cb = sizeof startup;
	startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
	startup.StartupInfo.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
						    inherited, OPEN_EXISTING, 0, nullptr);
	startup.StartupInfo.hStdOutput = log;
	startup.StartupInfo.hStdError = log;
	/* Only the log and NUL reach tolvane.exe, and so what the library
	 * leaves running: not the engine's handles, its output pipe above all,
	 * which such a program would hold open, keeping an engine that reads
	 * the pipe to its end waiting as long as the program lives.  Before
	 * Vista, at least not tolvane-run's own standard handles. */
	HANDLE to_inherit[] = {log, startup.StartupInfo.hStdInput};
	startup.lpAttributeList = only_these_handles(to_inherit, 2);
	const HANDLE own[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
			      GetStdHandle(STD_ERROR_HANDLE)};
	DWORD own_flags[] = {0, 0, 0};
	for (size_t index = 0; startup.lpAttributeList == nullptr && index < 3; ++index)
		if (GetHandleInformation(own[index], &own_flags[index]))
			SetHandleInformation(own[index], HANDLE_FLAG_INHERIT, 0);
	/* Started by a process without a console (a service, an engine's agent
	 * with DETACHED_PROCESS), tolvane.exe would get a console window of its
	 * own, which the library's console programs share, on the screen of
	 * whoever is logged on: a console without a window instead.  With a
	 * console, tolvane.exe shares it, with its code page and Ctrl+C. */
	DWORD flags = GetConsoleCP() == 0 ? CREATE_NO_WINDOW : 0;
	if (startup.lpAttributeList != nullptr)
		flags |= EXTENDED_STARTUPINFO_PRESENT;
	/* A missing library or name, or a crash, is a status, not a message box
	 * that waits for a click and the engine with it: tolvane.exe inherits
	 * this error mode. */
	SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
	PROCESS_INFORMATION process;
	const BOOL started = CreateProcessW(tolvane_path, child_line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
					    &startup.StartupInfo, &process);
	const DWORD error = GetLastError();
	for (size_t index = 0; startup.lpAttributeList == nullptr && index < 3; ++index)
		SetHandleInformation(own[index], HANDLE_FLAG_INHERIT, own_flags[index]);
	CloseHandle(startup.StartupInfo.hStdInput);
	if (!started) {
		const char *const cause = cause_of(error);
		if (cause != nullptr)
			print_error("tolvane-run: cannot start %s: %s (error %d)\n", shown(tolvane_path), cause,
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

/* The log as tolvane.exe left it, read in pieces of a fixed size through a
 * handle of its own (what the library left running may still write
 * through tolvane.exe's), each piece shown as it is read: its bytes, or on
 * a console its text.  The status of the outcome that tolvane.exe wrote
 * for these names, wherever it stands: its line holds its fixed words and
 * both names whole, so neither a name nor what the library writes before,
 * between or after tolvane.exe's lines (without a line break, in UTF-16, as
 * it loads) makes or hides one.  The success line's fixed words are the
 * longer, so neither line can stand inside the other, nor can the failure
 * line begin within the success line's first bytes, which hold no "E": of
 * two lines found, the one that ends first also begins first, and
 * decides. */
static DWORD show_log(HANDLE log)
{
	outcome outcomes[2] = {};
	const size_t count = outcomes_for_these_names(outcomes);
	line_search searches[2] = {};
	for (size_t index = 0; index < count; ++index) {
		const char *const line = outcomes[index].line;
		size_t length = 0;
		while (line != nullptr && line[length] != '\0')
			++length;
		begin_line_search(searches[index], line,
				  static_cast<size_t *>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(size_t))));
	}
	LARGE_INTEGER size = {};
	const HANDLE reader = CreateFileW(log_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
					  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
	if (reader == INVALID_HANDLE_VALUE || !GetFileSizeEx(log, &size)) {
		print_error("tolvane-run: cannot read the log %s back (error %d)\n", shown(log_path),
			    static_cast<int>(GetLastError()));
		return no_log;
	}
	size_t found = count, held = 0;
	for (auto left = static_cast<ULONGLONG>(size.QuadPart); left > 0;) {
		DWORD read = 0;
		if (!ReadFile(reader, piece + held, left < piece_size ? static_cast<DWORD>(left) : piece_size, &read,
			      nullptr) ||
		    read == 0) {
			print_error("tolvane-run: cannot read the log %s back (error %d)\n", shown(log_path),
				    static_cast<int>(GetLastError()));
			return no_log;
		}
		left -= read;
		if (found == count)
			found = first_line_ending_in(searches, count, piece + held, read);
		/* A character cut at the piece's end is shown whole with the next. */
		const size_t ready = held + read, written = write_output(piece, ready, left > 0);
		for (held = 0; written + held < ready; ++held)
			piece[held] = piece[written + held];
	}
	CloseHandle(reader);
	if (found == count) {
		print_error("tolvane-run: the log %s holds no outcome of tolvane.exe's\n", shown(log_path));
		return no_log;
	}
	return outcomes[found].status;
}

int main(int, char *[])
{
	SetConsoleCtrlHandler(outlive_tolvane, TRUE);
	if (!only_administrators_can_change_the_folder())
		return static_cast<int>(changeable_folder);
	SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
	DWORD status = no_log;
	const HANDLE log = make_log(&inherited, &status);
	if (log == INVALID_HANDLE_VALUE)
		return static_cast<int>(status);
	status = run_tolvane(log, &inherited);
	if (tolvane_process == nullptr)
		return static_cast<int>(status);
	const DWORD outcome = show_log(log);
	if (status == ERROR_SUCCESS)
		return static_cast<int>(outcome);
	const char *const cause = cause_of(status);
	if (cause != nullptr)
		print_error("tolvane-run: tolvane.exe ended with status %d: %s\n", static_cast<int>(status), cause);
	else
		print_error("tolvane-run: tolvane.exe ended with status %d\n", static_cast<int>(status));
	return static_cast<int>(status);
}
