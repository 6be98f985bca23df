/*
 * tolvane-qualify: the qualification kit.  Run once, elevated, on a real
 * Windows machine, it proves there, check by check, what tolvane relies on
 * Windows to do and what no test under Wine can show: the release's own
 * tolvane.exe and tolvane-run.exe, beside the stand-in installer library,
 * in a folder of its own below the temporary folder, which it removes
 * afterwards.
 *
 *   tolvane-qualify.exe
 *
 * Prints a table, a row a check (its name, "ok", "FAIL" or "not on this
 * system", and what it saw), then the Windows version, the processor's
 * shadow stacks and the code pages, and writes the same to
 * tolvane-qualify-<computer>-<build>.txt beside itself.  Exits with 0 only
 * where no check failed.  It never waits for input, and the error mode
 * that its programs inherit keeps every message box away.
 *
 * Each check names the documentation whose word it takes for what Windows
 * does.  Run with --on-console or --console-probe, it is a helper of its
 * own, on a console that it made without a window.
 */
#include <windows.h>

#include <cpuid.h>
#include <sddl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tolvane_version.h"

namespace {

enum { room = 1024 };

struct path {
	wchar_t text[room];
};

path joined(const wchar_t *folder, const wchar_t *name)
{
	path result;
	_snwprintf(result.text, room - 1, L"%ls\\%ls", folder, name);
	result.text[room - 1] = L'\0';
	return result;
}

/* The kit's folder: tolvane-qualify.exe with the release, the stand-ins
 * and the test programs below it; and the work folder. */
wchar_t kit[room], work[room];

/* ------------------------------------------------------------------ */
/* The table of checks                                                 */

enum class verdict { ok, failed, not_here };

struct result {
	const char *name;
	verdict said;
	char seen[400];
};

result results[40];
int result_count;

__attribute__((format(printf, 3, 4))) void say(const char *name, verdict said, const char *format, ...)
{
	if (result_count == 40)
		return;
	result &row = results[result_count++];
	row.name = name;
	row.said = said;
	va_list arguments;
	va_start(arguments, format);
	vsnprintf(row.seen, sizeof row.seen, format, arguments);
	va_end(arguments);
}

/* ------------------------------------------------------------------ */
/* Files and folders                                                   */

/* A folder that administrators, SYSTEM and, to read and run what it
 * holds, users may use (a program run with a normal user's token must
 * start from it), and nobody else may change. */
bool make_folder(const wchar_t *folder, const wchar_t *sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)")
{
	SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
	if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor,
								  nullptr))
		return false;
	const BOOL made = CreateDirectoryW(folder, &attributes);
	LocalFree(attributes.lpSecurityDescriptor);
	return made != 0;
}

/* Removes the folder and what it holds; where something stays, its path
 * in *left. */
void remove_tree(const wchar_t *folder, path *left)
{
	WIN32_FIND_DATAW found;
	const HANDLE search = FindFirstFileW(joined(folder, L"*").text, &found);
	if (search != INVALID_HANDLE_VALUE) {
		do {
			if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
				continue;
			const path inside = joined(folder, found.cFileName);
			SetFileAttributesW(inside.text, FILE_ATTRIBUTE_NORMAL);
			if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
				remove_tree(inside.text, left);
			else if (!DeleteFileW(inside.text))
				*left = inside;
		} while (FindNextFileW(search, &found));
		FindClose(search);
	}
	if (!RemoveDirectoryW(folder) && GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES && left->text[0] == L'\0')
		*left = joined(folder, L"");
}

/* A folder of the work folder's for one check, holding copies of these
 * files of the kit's (a path below the kit, the name it gets). */
struct copy {
	const wchar_t *from, *as;
};

const copy tolvane_exe = {L"release\\tolvane.exe", L"tolvane.exe"};
const copy tolvane_run_exe = {L"release\\tolvane-run.exe", L"tolvane-run.exe"};
const copy stand_in = {L"stand-in\\ZEL_Act_Installer.dll", L"ZEL_Act_Installer.dll"};

path check_folder(const wchar_t *name, const copy *copies, size_t count)
{
	const path folder = joined(work, name);
	make_folder(folder.text);
	for (size_t index = 0; index < count; ++index)
		CopyFileW(joined(kit, copies[index].from).text, joined(folder.text, copies[index].as).text, FALSE);
	return folder;
}

/* A file's bytes, NUL-terminated, as much as fits; the length, or -1. */
long read_file(const wchar_t *name, char *bytes, size_t size)
{
	const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
					nullptr, OPEN_EXISTING, 0, nullptr);
	DWORD read = 0;
	if (file == INVALID_HANDLE_VALUE)
		return -1;
	const BOOL done = ReadFile(file, bytes, static_cast<DWORD>(size - 2), &read, nullptr);
	CloseHandle(file);
	bytes[read] = bytes[read + 1] = '\0';
	return done ? static_cast<long>(read) : -1;
}

bool write_file(const wchar_t *name, const void *bytes, size_t size)
{
	const HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
	DWORD written = 0;
	if (file == INVALID_HANDLE_VALUE)
		return false;
	const BOOL done = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
	CloseHandle(file);
	return done && written == size;
}

/* The stand-in's journal in a folder: the number of its lines, the calls
 * it received (0: the library was not called), and the last line that
 * begins with the word given, if any. */
int journal(const wchar_t *folder, const char *word = nullptr, char *line = nullptr, size_t size = 0)
{
	static char text[65536];
	if (read_file(joined(folder, L"journal.tsv").text, text, sizeof text) < 0)
		return 0;
	int lines = 0;
	for (char *start = text; *start != '\0';) {
		char *end = strchr(start, '\n');
		if (end == nullptr)
			break;
		*end = '\0';
		++lines;
		if (word != nullptr && strncmp(start, word, strlen(word)) == 0 && start[strlen(word)] == '\t')
			snprintf(line, size, "%s", start);
		start = end + 1;
	}
	return lines;
}

/* ------------------------------------------------------------------ */
/* The stand-in's script: environment variables that each run inherits  */

const wchar_t *const script_names[] = {L"ZEL_STAND_IN_RESULT", L"ZEL_STAND_IN_INSTALL_DELAY", L"ZEL_STAND_IN_LOAD",
				       L"ZEL_STAND_IN_HELPER", L"ZEL_STAND_IN_PRINT_AT_UNLOAD", L"ZEL_STAND_IN_TEXT",
				       L"ZEL_STAND_IN_CODES", L"TOLVANE_LOG"};
wchar_t original_path[32768];

/* A fresh script for a run in the folder: the journal there, the text
 * "ok", nothing else, and PATH as the kit found it. */
void script(const wchar_t *folder)
{
	for (const wchar_t *name : script_names)
		SetEnvironmentVariableW(name, nullptr);
	SetEnvironmentVariableW(L"ZEL_STAND_IN_JOURNAL", joined(folder, L"journal.tsv").text);
	SetEnvironmentVariableW(L"ZEL_STAND_IN_TEXT", L"ok");
	SetEnvironmentVariableW(L"PATH", original_path);
	DeleteFileW(joined(folder, L"journal.tsv").text);
}

/* ------------------------------------------------------------------ */
/* Running programs                                                    */

struct outcome {
	bool started;
	DWORD error;  /* where it did not start */
	bool ended;   /* in time; else it was ended */
	DWORD status;
	char output[8192];
	long output_size;
};

struct running {
	PROCESS_INFORMATION process;
	HANDLE output;
	path output_path;
	outcome *result;
};

/* Starts the command line in the folder, its input NUL, its output and its
 * errors a file; as the account of the token where one is given.  On a
 * console of its own, its standard handles are that console's. */
running start(outcome &result, const wchar_t *folder, const wchar_t *command_line, DWORD flags = 0,
	      HANDLE token = nullptr)
{
	const bool own_console = (flags & CREATE_NO_WINDOW) != 0;
	static wchar_t line[32768];
	static int runs;
	running run = {};
	run.result = &result;
	result = {};
	SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
	wchar_t name[32];
	_snwprintf(name, 32, L"output-%d", ++runs);
	run.output_path = joined(work, name);
	run.output = CreateFileW(run.output_path.text, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0,
				 nullptr);
	STARTUPINFOW startup = {};
	startup.cb = sizeof startup;
	startup.dwFlags = own_console ? 0 : STARTF_USESTDHANDLES;
	startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
					OPEN_EXISTING, 0, nullptr);
	startup.hStdOutput = startup.hStdError = run.output;
	wcsncpy(line, command_line, 32767);
	result.started = token != nullptr
				 ? CreateProcessAsUserW(token, nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, folder,
							&startup, &run.process)
				 : CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, folder, &startup,
						  &run.process);
	result.error = result.started ? 0 : GetLastError();
	CloseHandle(startup.hStdInput);
	return run;
}

/* Waits for it, at most the time given, and reads its output back. */
outcome &finish(running &run, DWORD milliseconds = 30000)
{
	outcome &result = *run.result;
	if (result.started) {
		result.ended = WaitForSingleObject(run.process.hProcess, milliseconds) == WAIT_OBJECT_0;
		if (!result.ended) {
			TerminateProcess(run.process.hProcess, 1);
			WaitForSingleObject(run.process.hProcess, 5000);
		}
		GetExitCodeProcess(run.process.hProcess, &result.status);
		CloseHandle(run.process.hThread);
		CloseHandle(run.process.hProcess);
	}
	CloseHandle(run.output);
	result.output_size = read_file(run.output_path.text, result.output, sizeof result.output);
	return result;
}

outcome &run(outcome &result, const wchar_t *folder, const wchar_t *command_line, DWORD flags = 0,
	     HANDLE token = nullptr)
{
	running started = start(result, folder, command_line, flags, token);
	return finish(started);
}

/* What a run came to, in words, for the table. */
const char *told(const outcome &result)
{
	static char text[200];
	if (!result.started)
		snprintf(text, sizeof text, "did not start: error %lu", result.error);
	else if (!result.ended)
		snprintf(text, sizeof text, "did not end within 30 s (a dialog may be waiting for a click)");
	else
		snprintf(text, sizeof text, "status %#lx, %ld bytes of output", result.status, result.output_size);
	return text;
}

bool quoted_program(wchar_t *line, size_t size, const wchar_t *folder, const wchar_t *program, const wchar_t *arguments)
{
	return _snwprintf(line, size, L"\"%ls\\%ls\"%ls%ls", folder, program, *arguments != L'\0' ? L" " : L"",
			  arguments) > 0;
}

/* A check's folder with copies of these files of the kit's, the command
 * line that runs one of them there, and a fresh script for the stand-in,
 * its journal in that folder. */
struct setup {
	path folder;
	wchar_t line[room * 2];
};

template <size_t count>
setup set_up(const wchar_t *name, const copy (&files)[count], const wchar_t *program, const wchar_t *arguments)
{
	setup made;
	made.folder = check_folder(name, files, count);
	quoted_program(made.line, room * 2, made.folder.text, program, arguments);
	script(made.folder.text);
	return made;
}

/* ------------------------------------------------------------------ */
/* What this machine is                                                */

RTL_OSVERSIONINFOW windows = {};
UINT ansi_code_page, oem_code_page;
bool processor_shadow_stacks;

bool windows_at_least(DWORD major, DWORD minor, DWORD build = 0)
{
	if (windows.dwMajorVersion != major)
		return windows.dwMajorVersion > major;
	if (windows.dwMinorVersion != minor)
		return windows.dwMinorVersion > minor;
	return windows.dwBuildNumber >= build;
}

void learn_the_machine()
{
	/* GetVersionEx answers as the manifest's supported versions say. */
	using get_version = LONG(WINAPI *)(RTL_OSVERSIONINFOW *);
	const auto version = reinterpret_cast<get_version>(
		reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
	windows.dwOSVersionInfoSize = sizeof windows;
	if (version != nullptr)
		version(&windows);
	ansi_code_page = GetACP();
	oem_code_page = GetOEMCP();
	/* CPUID leaf 7: ECX bit 7, CET_SS (Intel's Software Developer's Manual,
	 * AMD's Programmer's Manual). */
	unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
	processor_shadow_stacks = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 7)) != 0;
}

/* Names of non-ASCII characters that the ANSI code page holds exactly, as
 * typed (WideCharToMultiByte, WC_NO_BEST_FIT_CHARS); nullptr where none
 * does, or, asked for one it does not hold, one that it lacks. */
const wchar_t *name_for_this_code_page(bool held)
{
	static const wchar_t *const candidates[] = {
		L"M\u00fcller Caf\u00e9", L"\u041c\u043e\u0441\u043a\u0432\u0430", L"\u0391\u03b8\u03ae\u03bd\u03b1",
		L"\u05e9\u05dc\u05d5\u05dd", L"\u0633\u0644\u0627\u0645", L"\u0e44\u0e17\u0e22", L"\u65e5\u672c",
		L"\u4e2d\u6587", L"\ud55c\uad6d", L"\u0141\u00f3d\u017a", L"R\u012bga", L"\u0130stanbul",
		L"H\u00e0 N\u1ed9i", L"\U0001F600"};
	for (const wchar_t *name : candidates) {
		char bytes[64];
		BOOL defaulted = FALSE;
		const bool exact = ansi_code_page == CP_UTF8
					   ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, bytes, 64,
								 nullptr, nullptr) > 0
					   : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name, -1, bytes, 64, nullptr,
								 &defaulted) > 0 &&
						     !defaulted;
		if (exact == held)
			return name;
	}
	return nullptr;
}

/* ------------------------------------------------------------------ */
/* A console of its own, without a window                              */

/* The helper that the kit runs on a console that it made without a
 * window (CreateProcess, CREATE_NO_WINDOW), so that nothing it types or
 * sends reaches the administrator's console:
 *   tolvane-qualify.exe --on-console SCENARIO FOLDER
 * runs the command line in FOLDER\command-line (UTF-16) on that console,
 * its output code page the OEM one, and writes FOLDER\screen (the rows, in
 * UTF-16, each ended with a line feed) and FOLDER\outcome.  The scenarios:
 *   screen      tolvane.exe writes to the console
 *   write-only  to a handle of the console opened for writing only, as
 *               "> CON" opens one
 *   ctrl-c, ctrl-break  the event goes to the console once the stand-in
 *               has begun to install (its journal exists)
 *   pause       Enter is typed once tolvane.exe has waited a second */
volatile LONG events_seen;

BOOL WINAPI count_event(DWORD event)
{
	if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
		InterlockedIncrement(&events_seen);
		return TRUE;
	}
	return FALSE;
}

/* The console's rows from the top to the cursor's, without trailing blanks. */
bool screen_rows(HANDLE console, wchar_t *rows, size_t size)
{
	CONSOLE_SCREEN_BUFFER_INFO screen;
	if (!GetConsoleScreenBufferInfo(console, &screen))
		return false;
	size_t used = 0;
	for (SHORT y = 0; y <= screen.dwCursorPosition.Y; ++y) {
		const auto width = static_cast<DWORD>(screen.dwSize.X);
		if (used + width + 2 >= size)
			return false;
		DWORD read = 0;
		ReadConsoleOutputCharacterW(console, rows + used, width, {0, y}, &read);
		while (read > 0 && rows[used + read - 1] == L' ')
			--read;
		used += read;
		rows[used++] = L'\n';
	}
	rows[used] = L'\0';
	return true;
}

void type_enter(HANDLE input)
{
	INPUT_RECORD keys[4] = {};
	const wchar_t characters[] = {L'x', L'\r'};
	for (int index = 0; index < 4; ++index) {
		keys[index].EventType = KEY_EVENT;
		keys[index].Event.KeyEvent.bKeyDown = index % 2 == 0;
		keys[index].Event.KeyEvent.wRepeatCount = 1;
		keys[index].Event.KeyEvent.wVirtualKeyCode = index < 2 ? 'X' : VK_RETURN;
		keys[index].Event.KeyEvent.uChar.UnicodeChar = characters[index / 2];
	}
	DWORD written = 0;
	WriteConsoleInputW(input, keys, 4, &written);
}

int on_console(const wchar_t *scenario, const wchar_t *folder)
{
	static wchar_t command_line[32768], rows[65536];
	const HANDLE screen = GetStdHandle(STD_OUTPUT_HANDLE), input = GetStdHandle(STD_INPUT_HANDLE);
	if (read_file(joined(folder, L"command-line").text, reinterpret_cast<char *>(command_line),
		      sizeof command_line) < 0)
		return 2;
	SetConsoleCtrlHandler(count_event, TRUE);
	SetConsoleOutputCP(GetOEMCP());
	SetConsoleScreenBufferSize(screen, {1000, 200});
	SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
	STARTUPINFOW startup = {};
	startup.cb = sizeof startup;
	if (wcscmp(scenario, L"write-only") == 0) {
		startup.dwFlags = STARTF_USESTDHANDLES;
		startup.hStdInput = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
						&inherited, OPEN_EXISTING, 0, nullptr);
		startup.hStdOutput = startup.hStdError = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ |
								      FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
	}
	PROCESS_INFORMATION process;
	if (!CreateProcessW(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr, folder, &startup, &process))
		return 3;
	bool waited = false;
	if (wcsncmp(scenario, L"ctrl-", 5) == 0) {
		const path began = joined(folder, L"journal.tsv");
		while (GetFileAttributesW(began.text) == INVALID_FILE_ATTRIBUTES &&
		       WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT)
			;
		GenerateConsoleCtrlEvent(wcscmp(scenario, L"ctrl-c") == 0 ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
	} else if (wcscmp(scenario, L"pause") == 0) {
		for (int tries = 0; tries < 500 && screen_rows(screen, rows, 65536) && !wcsstr(rows, L"Press any key");
		     ++tries)
			Sleep(20);
		waited = WaitForSingleObject(process.hProcess, 1000) == WAIT_TIMEOUT;
		type_enter(input);
	}
	const bool ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
	if (!ended)
		TerminateProcess(process.hProcess, 1);
	DWORD status = 0;
	GetExitCodeProcess(process.hProcess, &status);
	Sleep(100); /* a console's event thread may answer late */
	char outcome_text[200];
	const int length = snprintf(outcome_text, sizeof outcome_text, "status %lu ended %d waited %d events %ld\n",
				    status, ended, waited, static_cast<long>(events_seen));
	if (!screen_rows(screen, rows, 65536))
		rows[0] = L'\0';
	write_file(joined(folder, L"screen").text, rows, wcslen(rows) * sizeof(wchar_t));
	write_file(joined(folder, L"outcome").text, outcome_text, static_cast<size_t>(length));
	return 0;
}

/* Exits with 0 without a console, 1 with one that has a window, 2 with one
 * that has none: the console program that the stand-in runs. */
int console_probe()
{
	if (GetConsoleOutputCP() == 0)
		return 0;
	return GetConsoleWindow() != nullptr ? 1 : 2;
}

struct console_outcome {
	bool ran;
	DWORD status;
	int ended, waited;
	long events;
	wchar_t screen[8192];
};

/* Runs the command line through the helper on a console of its own. */
console_outcome on_a_console_of_its_own(const wchar_t *scenario, const wchar_t *folder, const wchar_t *command_line)
{
	console_outcome seen = {};
	wchar_t line[room * 2];
	write_file(joined(folder, L"command-line").text, command_line, wcslen(command_line) * sizeof(wchar_t));
	_snwprintf(line, room * 2, L"\"%ls\\tolvane-qualify.exe\" --on-console %ls \"%ls\"", kit, scenario, folder);
	outcome helper;
	/* CREATE_NO_WINDOW: a new console without a window (CreateProcess's
	 * process creation flags). */
	run(helper, folder, line, CREATE_NO_WINDOW);
	char text[200];
	if (!helper.ended || helper.status != 0 || read_file(joined(folder, L"outcome").text, text, sizeof text) < 0)
		return seen;
	seen.ran = sscanf(text, "status %lu ended %d waited %d events %ld", &seen.status, &seen.ended, &seen.waited,
			  &seen.events) == 4;
	read_file(joined(folder, L"screen").text, reinterpret_cast<char *>(seen.screen), sizeof seen.screen);
	return seen;
}

/* ------------------------------------------------------------------ */
/* The checks                                                          */

/* A normal user's token made from the kit's own: what the elevation of an
 * administrator who has not been asked leaves (CreateRestrictedToken,
 * LUA_TOKEN). */
HANDLE normal_user_token()
{
	HANDLE own = nullptr, normal = nullptr;
	if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own))
		CreateRestrictedToken(own, LUA_TOKEN, 0, nullptr, 0, nullptr, 0, nullptr, &normal);
	if (own != nullptr)
		CloseHandle(own);
	return normal;
}

/* A requireAdministrator program that a process without elevation starts
 * with CreateProcess or CreateProcessAsUser does not start: the call fails
 * with ERROR_ELEVATION_REQUIRED (Microsoft's application compatibility
 * team, "Elevation and process creation APIs"); so nothing is printed and
 * the library is never called. */
void check_elevation_required()
{
	const char *name = "tolvane.exe-refused-without-elevation";
	if (!windows_at_least(6, 0)) {
		say(name, verdict::not_here, "Windows %lu.%lu has no user account control", windows.dwMajorVersion,
		    windows.dwMinorVersion);
		return;
	}
	const setup check = set_up(L"elevation", {tolvane_exe, stand_in}, L"tolvane.exe", L"Acme Widget");
	const HANDLE token = normal_user_token();
	outcome result;
	run(result, check.folder.text, check.line, 0, token);
	if (token == nullptr)
		say(name, verdict::failed, "no normal user's token could be made (error %lu)", GetLastError());
	else if (!result.started && result.error == 740 && result.output_size <= 0 && journal(check.folder.text) == 0)
		say(name, verdict::ok, "error 740, nothing printed, the library not called");
	else
		say(name, verdict::failed, "%s, the library called %d times", told(result), journal(check.folder.text));
	if (token != nullptr)
		CloseHandle(token);
}

/* The loader refuses a program whose imported library or one of whose
 * imported names is missing: STATUS_DLL_NOT_FOUND, STATUS_ENTRYPOINT_NOT_FOUND
 * (NTSTATUS values; the load-time binding of "Dynamic-Link Library Search
 * Order"), before any of its code runs. */
void check_loader_refuses(const char *name, const wchar_t *library, DWORD expected)
{
	const setup check = library == nullptr
				    ? set_up(L"library-missing", {tolvane_exe}, L"tolvane.exe", L"Acme Widget")
				    : set_up(L"name-missing", {tolvane_exe, {library, L"ZEL_Act_Installer.dll"}},
					     L"tolvane.exe", L"Acme Widget");
	outcome result;
	run(result, check.folder.text, check.line);
	if (result.ended && result.status == expected && result.output_size <= 0 && journal(check.folder.text) == 0)
		say(name, verdict::ok, "status %#lx, nothing printed, the library not called", result.status);
	else
		say(name, verdict::failed, "%s, the library called %d times", told(result), journal(check.folder.text));
}

/* Windows 10 1607 and later take a program's imports only from where its
 * load configuration's DependentLoadFlags say (/DEPENDENTLOADFLAG, "Search
 * order using LOAD_LIBRARY_SEARCH flags"): tolvane.exe's own folder and
 * System32, never the current folder or PATH. */
void check_library_not_from_the_current_folder()
{
	const char *name = "tolvane.exe's-library-not-from-the-current-folder-or-PATH";
	if (!windows_at_least(10, 0, 14393)) {
		say(name, verdict::not_here, "Windows before 10 1607 ignores DependentLoadFlags");
		return;
	}
	const setup check = set_up(L"imports", {tolvane_exe}, L"tolvane.exe", L"Acme Widget");
	const copy library[] = {stand_in};
	const path current = check_folder(L"imports-current", library, 1);
	const path on_path = check_folder(L"imports-on-path", library, 1);
	script(current.text);
	SetEnvironmentVariableW(L"PATH", on_path.text);
	outcome result;
	run(result, current.text, check.line);
	if (result.ended && result.status == 0xC0000135 && result.output_size <= 0 && journal(current.text) == 0)
		say(name, verdict::ok, "status 0xc0000135 with the library in the current folder and on PATH alone");
	else
		say(name, verdict::failed, "%s: the library was taken from the current folder or PATH", told(result));
}

/* Libraries that the installer library loads by name while it installs:
 * not from the current folder, nor, where KERNEL32 has
 * SetDefaultDllDirectories (Windows 8, and 7 with KB2533623), from PATH
 * (SetDefaultDllDirectories, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
 * SetDllDirectory for the current folder elsewhere). */
void check_run_time_loads()
{
	const char *name = "library's-loads-not-from-the-current-folder-or-PATH";
	const bool path_left_out = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
	const setup check = set_up(L"loads", {tolvane_exe, stand_in}, L"tolvane.exe", L"Acme Widget");
	const copy probe[] = {{L"stand-in\\ZEL_Act_Installer.dll", L"qualify_probe.dll"}};
	const path current = check_folder(L"loads-current", probe, 1);
	const path on_path = check_folder(L"loads-on-path", probe, 1);
	wchar_t seen[2][200] = {};
	char loaded[2][300] = {};
	for (int where = 0; where < 2; ++where) {
		script(check.folder.text);
		SetEnvironmentVariableW(L"ZEL_STAND_IN_LOAD", L"qualify_probe.dll");
		if (where == 1)
			SetEnvironmentVariableW(L"PATH", on_path.text);
		outcome result;
		run(result, where == 0 ? current.text : check.folder.text, check.line);
		journal(check.folder.text, "LoadLibrary", loaded[where], sizeof loaded[where]);
		_snwprintf(seen[where], 200, L"%hs", told(result));
	}
	const bool from_current = loaded[0][0] == '\0' || strstr(loaded[0], "\tnull") == nullptr;
	const bool from_path = loaded[1][0] == '\0' || strstr(loaded[1], "\tnull") == nullptr;
	if (!from_current && !from_path)
		say(name, verdict::ok, "the library found no copy in the current folder nor one on PATH");
	else if (!from_current && !path_left_out)
		say(name, verdict::not_here, "found on PATH: KERNEL32 lacks SetDefaultDllDirectories (KB2533623)");
	else
		say(name, verdict::failed, "a copy was loaded from the %s", from_current ? "current folder" : "PATH");
}

/* The mitigation policies of the running tolvane.exe, read while the
 * stand-in waits (GetProcessMitigationPolicy, Windows 8 and later):
 * Control Flow Guard on (PROCESS_MITIGATION_CONTROL_FLOW_GUARD_POLICY,
 * EnableControlFlowGuard, Windows 8.1 Update 3 and 10), and where the
 * processor and Windows have them, CET shadow stacks in compatibility mode
 * (PROCESS_MITIGATION_USER_SHADOW_STACK_POLICY, EnableUserShadowStack), for
 * an image marked compatible. */
void check_mitigations()
{
	const setup check = set_up(L"mitigations", {tolvane_exe, stand_in}, L"tolvane.exe", L"Acme Widget");
	SetEnvironmentVariableW(L"ZEL_STAND_IN_INSTALL_DELAY", L"3000");
	using get_policy = BOOL(WINAPI *)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
	const auto get = reinterpret_cast<get_policy>(reinterpret_cast<void (*)()>(
		GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetProcessMitigationPolicy")));
	outcome result;
	running started = start(result, check.folder.text, check.line);
	DWORD guard = 0, shadow = 0;
	BOOL guard_read = FALSE, shadow_read = FALSE;
	const path began = joined(check.folder.text, L"journal.tsv");
	while (result.started && GetFileAttributesW(began.text) == INVALID_FILE_ATTRIBUTES &&
	       WaitForSingleObject(started.process.hProcess, 20) == WAIT_TIMEOUT)
		;
	if (get != nullptr && result.started) {
		guard_read = get(started.process.hProcess, ProcessControlFlowGuardPolicy, &guard, sizeof guard);
		shadow_read = get(started.process.hProcess, ProcessUserShadowStackPolicy, &shadow, sizeof shadow);
	}
	finish(started);
	const char *guard_name = "Control-Flow-Guard-on-in-tolvane.exe", *shadow_name = "CET-shadow-stacks-on-in-tolvane.exe";
	if (get == nullptr || !guard_read)
		say(guard_name, verdict::not_here, "Windows before 8.1 Update 3 has no Control Flow Guard (%s)",
		    get == nullptr ? "no GetProcessMitigationPolicy" : "no such policy");
	else if ((guard & 1) != 0)
		say(guard_name, verdict::ok, "EnableControlFlowGuard set, policy flags %#lx", guard);
	else
		say(guard_name, verdict::failed, "policy flags %#lx: Control Flow Guard is off (%s)", guard, told(result));
	if (!processor_shadow_stacks)
		say(shadow_name, verdict::not_here, "the processor has no shadow stacks (CPUID 7, ECX bit 7)");
	else if (get == nullptr || !shadow_read)
		say(shadow_name, verdict::not_here, "Windows before 10 2004 has no user-mode shadow stacks");
	else if ((shadow & 1) != 0)
		say(shadow_name, verdict::ok, "EnableUserShadowStack set, policy flags %#lx", shadow);
	else
		say(shadow_name, verdict::failed, "policy flags %#lx: shadow stacks are off (Windows Security's "
			"Hardware-enforced Stack Protection may be turned off)", shadow);
}

/* A smashed stack ends the program at once with STATUS_STACK_BUFFER_OVERRUN,
 * no handler run and no library clean-up at process detach: by a fast fail
 * where IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) says Windows has
 * one (__fastfail, Windows 8 and later), else by TerminateProcess
 * ("terminates the specified process and all of its threads", without
 * DLL_PROCESS_DETACH).  The test program is built as tolvane.exe is. */
void check_smashed_stack()
{
	const char *name = "smashed-stack-ends-at-once";
	const setup check = set_up(L"stack", {{L"programs\\stack_cookie.exe", L"stack_cookie.exe"}, stand_in},
				   L"stack_cookie.exe", L"smash");
	SetEnvironmentVariableW(L"ZEL_STAND_IN_PRINT_AT_UNLOAD", L"unloaded");
	outcome result;
	run(result, check.folder.text, check.line);
	const bool fast_fail = IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE) != 0;
	const char *wanted = fast_fail ? "returning\n" : "returning\nTerminateProcess\n";
	if (result.ended && result.status == STATUS_STACK_BUFFER_OVERRUN && strcmp(result.output, wanted) == 0)
		say(name, verdict::ok, "status 0xc0000409 by %s, no handler, no clean-up",
		    fast_fail ? "a fast fail" : "TerminateProcess");
	else
		say(name, verdict::failed, "%s, output \"%.60s\"", told(result), result.output);
}

/* The rows that tolvane.exe's two lines make on a console. */
void expected_rows(wchar_t *rows, size_t size, const wchar_t *publisher, const wchar_t *product)
{
	_snwprintf(rows, size,
		   L"Successfully installed anchor service for publisher %ls, product %ls\nSuccess code 0: ok\n\n",
		   publisher, product);
}

/* On a console, whatever its code page, the names show as typed: tolvane.exe
 * writes UTF-16 (WriteConsoleW, which writes to a console screen buffer
 * opened for writing only as well), read back with
 * ReadConsoleOutputCharacterW. */
void check_console(const char *name, const wchar_t *scenario)
{
	const wchar_t *const typed = name_for_this_code_page(true);
	if (typed == nullptr) {
		say(name, verdict::not_here, "the ANSI code page %u holds none of the kit's names", ansi_code_page);
		return;
	}
	wchar_t wanted[room], arguments[200];
	_snwprintf(arguments, 200, L"\"%ls\" \"%ls\"", typed, typed);
	const setup check = set_up(scenario, {tolvane_exe, stand_in}, L"tolvane.exe", arguments);
	const console_outcome seen = on_a_console_of_its_own(scenario, check.folder.text, check.line);
	expected_rows(wanted, room, typed, typed);
	if (seen.ran && seen.ended && seen.status == 0 && wcsstr(seen.screen, wanted) != nullptr)
		say(name, verdict::ok, "as typed on code page %u", oem_code_page);
	else
		say(name, verdict::failed, "%s, status %#lx, the screen shows \"%.80ls\"",
		    seen.ran ? "ran" : "the console helper did not run", seen.status, seen.screen);
}

/* Once the library has begun, Ctrl+C and Ctrl+Break do not end tolvane.exe
 * ("CTRL+C and CTRL+BREAK Signals": a handler that returns TRUE, and
 * SetConsoleCtrlHandler(NULL, TRUE) for Ctrl+C, which is inherited): both
 * lines are printed, status 0.  The event must have reached the console. */
void check_interrupt(const char *name, const wchar_t *scenario)
{
	const setup check = set_up(scenario, {tolvane_exe, stand_in}, L"tolvane.exe", L"Acme Widget");
	wchar_t wanted[room];
	SetEnvironmentVariableW(L"ZEL_STAND_IN_INSTALL_DELAY", L"2000");
	const console_outcome seen = on_a_console_of_its_own(scenario, check.folder.text, check.line);
	expected_rows(wanted, room, L"Acme", L"Widget");
	if (seen.ran && seen.events == 0)
		say(name, verdict::failed, "the event reached nothing on the console");
	else if (seen.ran && seen.ended && seen.status == 0 && wcsstr(seen.screen, wanted) != nullptr)
		say(name, verdict::ok, "the installation ran to its end, both lines printed");
	else
		say(name, verdict::failed, "status %#lx, the screen shows \"%.80ls\"", seen.status, seen.screen);
}

/* The usage pause reads standard input: on a console in line mode the read
 * completes once Enter is typed (ReadFile, ReadConsole's line input). */
void check_pause()
{
	const char *name = "usage-pause-waits-for-a-typed-line";
	const setup check = set_up(L"pause", {tolvane_exe, stand_in}, L"tolvane.exe", L"");
	const console_outcome seen = on_a_console_of_its_own(L"pause", check.folder.text, check.line);
	if (seen.ran && seen.waited && seen.ended && seen.status == 0 && journal(check.folder.text) == 0)
		say(name, verdict::ok, "waited, then ended at Enter with status 0");
	else
		say(name, verdict::failed, "%s, %s, status %#lx", seen.waited ? "waited" : "did not wait",
		    seen.ended ? "ended" : "did not end at Enter", seen.status);
}

/* Started by a process without a console (DETACHED_PROCESS), tolvane-run.exe
 * starts tolvane.exe with CREATE_NO_WINDOW: the console programs that the
 * library runs share a console that has no window ("Creation of a
 * Console"; GetConsoleWindow). */
void check_no_console_window()
{
	const char *name = "tolvane-run-without-a-console-makes-no-window";
	const setup check = set_up(L"windowless", {tolvane_exe, tolvane_run_exe, stand_in}, L"tolvane-run.exe",
				   L"Acme Widget");
	wchar_t probe[room * 2];
	_snwprintf(probe, room * 2, L"\"%ls\\tolvane-qualify.exe\" --console-probe", kit);
	SetEnvironmentVariableW(L"ZEL_STAND_IN_HELPER", probe);
	outcome result;
	run(result, check.folder.text, check.line, DETACHED_PROCESS);
	char ended[400] = "";
	journal(check.folder.text, "helper", ended, sizeof ended);
	const char *status = strrchr(ended, '\t');
	if (result.ended && result.status == 0 && status != nullptr && strcmp(status, "\t2") == 0)
		say(name, verdict::ok, "the library's console program had a console without a window");
	else
		say(name, verdict::failed, "%s; the console program %s", told(result),
		    status == nullptr ? "did not run" : strcmp(status, "\t1") == 0 ? "had a console window" : "had no console");
}

/* tolvane-run.exe's statuses, as the administrators' guide lists them,
 * each from what Windows does: a file that another process holds without
 * sharing it cannot be opened (CreateFile, ERROR_SHARING_VIOLATION: 1618);
 * a security descriptor gives Everyone write access ("Access Control
 * Lists": 1625); CreateProcess reports a program that is not there (2) and
 * one that needs elevation (740); the loader's status for a missing
 * library (0xC0000135), which tolvane-run.exe passes on. */
struct status_case {
	const char *name;
	const wchar_t *arguments;
	DWORD expected;
	enum { plain, failing, no_log_folder, log_held, without_tolvane, without_library, changeable, normal_user } setup;
};

const status_case status_cases[] = {
	{"tolvane-run-installed-0", L"Acme Widget", 0, status_case::plain},
	{"tolvane-run-not-installed-1603", L"Acme Widget", 1603, status_case::failing},
	{"tolvane-run-usage-87", L"", 87, status_case::plain},
	{"tolvane-run-name-outside-the-code-page-87", nullptr, 87, status_case::plain},
	{"tolvane-run-no-log-110", L"Acme Widget", 110, status_case::no_log_folder},
	{"tolvane-run-log-held-1618", L"Acme Widget", 1618, status_case::log_held},
	{"tolvane-run-folder-others-can-change-1625", L"Acme Widget", 1625, status_case::changeable},
	{"tolvane-run-without-tolvane.exe-2", L"Acme Widget", 2, status_case::without_tolvane},
	{"tolvane-run-library-missing-0xc0000135", L"Acme Widget", 0xC0000135, status_case::without_library},
	{"tolvane-run-without-administrator-rights-740", L"Acme Widget", 740, status_case::normal_user},
};

void check_status(const status_case &test)
{
	wchar_t arguments[200];
	if (test.arguments == nullptr) {
		const wchar_t *const outside = name_for_this_code_page(false);
		if (outside == nullptr) {
			say(test.name, verdict::not_here, "the ANSI code page %u holds every character", ansi_code_page);
			return;
		}
		_snwprintf(arguments, 200, L"\"%ls\" Widget", outside);
	} else {
		wcscpy(arguments, test.arguments);
	}
	if (test.setup == status_case::normal_user && !windows_at_least(6, 0)) {
		say(test.name, verdict::not_here, "Windows %lu.%lu has no user account control", windows.dwMajorVersion,
		    windows.dwMinorVersion);
		return;
	}
	wchar_t folder_name[64];
	_snwprintf(folder_name, 64, L"status-%hs", test.name);
	const copy all[] = {tolvane_run_exe, tolvane_exe, stand_in};
	const size_t count = test.setup == status_case::without_tolvane ? 1 : test.setup == status_case::without_library ? 2 : 3;
	path folder = joined(work, folder_name);
	/* Everyone may change it: the system drive's root gives Authenticated
	 * Users as much on what is made below it. */
	if (test.setup == status_case::changeable) {
		make_folder(folder.text, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;WD)");
		for (size_t index = 0; index < count; ++index)
			CopyFileW(joined(kit, all[index].from).text, joined(folder.text, all[index].as).text, FALSE);
	} else {
		folder = check_folder(folder_name, all, count);
	}
	wchar_t line[room * 2];
	quoted_program(line, room * 2, folder.text, L"tolvane-run.exe", arguments);
	script(folder.text);
	if (test.setup == status_case::failing)
		SetEnvironmentVariableW(L"ZEL_STAND_IN_RESULT", L"0");
	if (test.setup == status_case::no_log_folder)
		SetEnvironmentVariableW(L"TOLVANE_LOG", joined(folder.text, L"absent\\tolvane.log").text);
	HANDLE held = INVALID_HANDLE_VALUE, token = nullptr;
	if (test.setup == status_case::log_held)
		held = CreateFileW(joined(folder.text, L"tolvane.log").text, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
				   nullptr);
	/* A user may write this log, not the folder: the guide's 740 needs a log
	 * that the run can make. */
	if (test.setup == status_case::normal_user) {
		const path logs = joined(folder.text, L"logs");
		make_folder(logs.text, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)");
		SetEnvironmentVariableW(L"TOLVANE_LOG", joined(logs.text, L"tolvane.log").text);
		token = normal_user_token();
	}
	outcome result;
	run(result, folder.text, line, 0, token);
	if (held != INVALID_HANDLE_VALUE)
		CloseHandle(held);
	if (token != nullptr)
		CloseHandle(token);
	if (result.ended && result.status == test.expected)
		say(test.name, verdict::ok, "status %lu (%#lx)", result.status, result.status);
	else
		say(test.name, verdict::failed, "%s, not %lu", told(result), test.expected);
}

/* A name that the ANSI code page cannot hold exactly is refused before the
 * library is called (WideCharToMultiByte with WC_NO_BEST_FIT_CHARS and the
 * default character's flag, as tolvane.exe converts). */
void check_name_refused()
{
	const char *name = "name-outside-the-code-page-refused";
	const wchar_t *const outside = name_for_this_code_page(false);
	if (outside == nullptr) {
		say(name, verdict::not_here, "the ANSI code page %u holds every character", ansi_code_page);
		return;
	}
	wchar_t arguments[200];
	_snwprintf(arguments, 200, L"\"%ls\" Widget", outside);
	const setup check = set_up(L"refused", {tolvane_exe, stand_in}, L"tolvane.exe", arguments);
	outcome result;
	run(result, check.folder.text, check.line);
	if (result.ended && result.status == 0 && strncmp(result.output, "Error installing anchor service: the publisher", 46) == 0 &&
	    journal(check.folder.text) == 0)
		say(name, verdict::ok, "refused, the library not called");
	else
		say(name, verdict::failed, "%s, the library called %d times", told(result), journal(check.folder.text));
}

/* ------------------------------------------------------------------ */
/* The report                                                          */

/* Text to standard output: on a console as UTF-16, elsewhere as UTF-8. */
void show(const char *text)
{
	static wchar_t wide[8192];
	const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	DWORD written = 0, mode = 0;
	const int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8192);
	if (GetConsoleMode(output, &mode) && units > 1)
		WriteConsoleW(output, wide, static_cast<DWORD>(units - 1), &written, nullptr);
	else
		WriteFile(output, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

char text[65536];
size_t used;

__attribute__((format(printf, 1, 2))) void add(const char *format, ...)
{
	va_list arguments;
	va_start(arguments, format);
	const int length = used < sizeof text ? vsnprintf(text + used, sizeof text - used, format, arguments) : 0;
	va_end(arguments);
	used += length > 0 ? static_cast<size_t>(length) : 0;
}

int report()
{
	int counts[3] = {};
	add("tolvane qualification kit, for tolvane %s\r\n\r\n", TOLVANE_VERSION_TEXT);
	add("%-60s %-18s %s\r\n", "check", "verdict", "what it saw");
	for (int index = 0; index < result_count; ++index) {
		const result &row = results[index];
		++counts[static_cast<int>(row.said)];
		add("%-60s %-18s %s\r\n", row.name,
		    row.said == verdict::ok ? "ok" : row.said == verdict::failed ? "FAIL" : "not on this system", row.seen);
	}
	add("\r\nWindows %lu.%lu build %lu%s%ls\r\n", windows.dwMajorVersion, windows.dwMinorVersion,
	    windows.dwBuildNumber, windows.szCSDVersion[0] != L'\0' ? " " : "", windows.szCSDVersion);
	add("Processor shadow stacks (CET): %s\r\n", processor_shadow_stacks ? "yes" : "no");
	add("ANSI code page %u, OEM code page %u\r\n", ansi_code_page, oem_code_page);
	add("%d ok, %d FAIL, %d not on this system\r\n", counts[0], counts[1], counts[2]);
	wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = L"computer";
	DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
	GetComputerNameW(computer, &size);
	wchar_t name[200];
	_snwprintf(name, 200, L"tolvane-qualify-%ls-%lu.txt", computer, windows.dwBuildNumber);
	const path file = joined(kit, name);
	static const char byte_order_mark[] = "\xEF\xBB\xBF";
	static char with_mark[sizeof text + 4];
	snprintf(with_mark, sizeof with_mark, "%s%s", byte_order_mark, text);
	const bool written = write_file(file.text, with_mark, strlen(with_mark));
	char last[room * 3];
	snprintf(last, sizeof last, written ? "Results: %ls\r\n" : "The results could not be written to %ls\r\n", file.text);
	show(text);
	show(last);
	return counts[1] == 0 && written ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
	/* Inherited by every program that the kit starts (SetErrorMode): a
	 * library that is missing, or a crash, is a status, never a message
	 * box that waits for a click. */
	SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
	const DWORD length = GetModuleFileNameW(nullptr, kit, room);
	if (length == 0 || length >= room)
		return 2;
	*wcsrchr(kit, L'\\') = L'\0';
	if (argc == 4 && wcscmp(argv[1], L"--on-console") == 0)
		return on_console(argv[2], argv[3]);
	if (argc == 2 && wcscmp(argv[1], L"--console-probe") == 0)
		return console_probe();

	learn_the_machine();
	GetEnvironmentVariableW(L"PATH", original_path, 32768);
	wchar_t temporary[room];
	GetTempPathW(room, temporary);
	/* One of an earlier run that could not be removed may bear the name. */
	bool made = false;
	for (int attempt = 0; attempt < 100 && !made; ++attempt) {
		_snwprintf(work, room, L"%lstolvane-qualify-%lu-%d", temporary, GetCurrentProcessId(), attempt);
		made = make_folder(work);
	}
	if (!made) {
		say("work-folder", verdict::failed, "cannot make a folder below %ls (error %lu)", temporary, GetLastError());
		return report();
	}
	show("Checking; this takes a minute.\r\n");
	check_elevation_required();
	check_loader_refuses("tolvane.exe-refused-without-the-library", nullptr, 0xC0000135);
	check_loader_refuses("tolvane.exe-refused-without-one-of-its-names",
			     L"stand-in-without-zelActSvcStatusCodeToText\\ZEL_Act_Installer.dll", 0xC0000139);
	check_library_not_from_the_current_folder();
	check_run_time_loads();
	check_mitigations();
	check_smashed_stack();
	check_console("names-as-typed-on-the-console", L"screen");
	check_console("names-as-typed-through-a-write-only-console-handle", L"write-only");
	check_interrupt("Ctrl+C-does-not-cut-the-installation-short", L"ctrl-c");
	check_interrupt("Ctrl+Break-does-not-cut-the-installation-short", L"ctrl-break");
	check_pause();
	check_name_refused();
	check_no_console_window();
	for (const status_case &test : status_cases)
		check_status(test);
	script(work);
	/* A program that has just ended, or the console host of one, may hold
	 * its files or its current folder a while longer. */
	path left = {};
	for (int tries = 0; tries < 120 && GetFileAttributesW(work) != INVALID_FILE_ATTRIBUTES; ++tries) {
		left = {};
		remove_tree(work, &left);
		if (GetFileAttributesW(work) != INVALID_FILE_ATTRIBUTES)
			Sleep(250);
	}
	if (GetFileAttributesW(work) != INVALID_FILE_ATTRIBUTES)
		say("work-folder-removed", verdict::failed, "%ls is left (%ls stays): remove it by hand", work, left.text);
	return report();
}
