/*
 * Stand-in for the vendor's installer library, for development and tests
 * only; it never ships.  It changes nothing on the system.  By default the
 * install succeeds with status code 0 and a text that says so; tests script
 * it through the environment:
 *
 *   ZEL_STAND_IN_RESULT   install result byte, 0 to 255 (default 1)
 *   ZEL_STAND_IN_CODES    comma-separated status codes returned by successive
 *                         status reads; the last one repeats
 *                         (default 0 after success, 1 after failure)
 *   ZEL_STAND_IN_TEXT     the status text for every code
 *   ZEL_STAND_IN_NULL_TEXT=1  the status text is a null pointer
 *   ZEL_STAND_IN_JOURNAL  file to which every call is appended, one line
 *                         each: operation, arguments, "=", result, separated
 *                         by tabs; strings in hexadecimal so that any byte
 *                         round-trips, a null text as "null"
 *   ZEL_STAND_IN_CRASH    an operation that crashes, as a faulty library
 *                         would: an access violation on entry
 *   ZEL_STAND_IN_HANG     an operation that never returns
 *   ZEL_STAND_IN_INSTALL_DELAY  milliseconds that the install call takes,
 *                         as a real installation does; journalled as it
 *                         begins: "delay", the milliseconds, "=", "begun"
 *   ZEL_STAND_IN_LOAD     Windows: a library that the install call loads
 *                         by name, as a real one may; journalled as
 *                         "LoadLibrary", the name, "=", the path of the file
 *                         loaded (in hexadecimal) or "null"
 *   ZEL_STAND_IN_HELPER   Windows: a command line that the install call
 *                         runs on the console and waits for, as a real one
 *                         may run sc.exe; journalled as it begins and as it
 *                         ends: "helper", the command line (in hexadecimal),
 *                         "=", "begun", then its exit status, or "failed"
 *                         where it could not be started
 *   ZEL_STAND_IN_LEAVE_RUNNING  Windows: a command line that the install
 *                         call starts with every inheritable handle and
 *                         leaves running, as a service's installer may
 *                         leave the service; journalled as "left", the
 *                         command line (in hexadecimal), "=", "begun" or
 *                         "failed"
 *   ZEL_STAND_IN_SKIP     Windows: bytes by which the install call moves
 *                         standard output's file pointer on, so that what
 *                         follows stands that far after it (a log larger
 *                         than 4 GiB costs no disk where the file system
 *                         leaves the gap unwritten)
 *   ZEL_STAND_IN_RAISE    Windows: an exception code that the install call
 *                         raises and does not handle, in hexadecimal
 *   ZEL_STAND_IN_STDOUT   Windows: a file that the install call makes
 *                         standard output (SetStdHandle) and leaves so, as
 *                         a library may for its console programs
 *   ZEL_STAND_IN_PRINT    text that the install call prints to standard
 *                         output with printf, as it is (a line break only
 *                         where it holds one), and flushes, as a library
 *                         that reports its progress does
 *   ZEL_STAND_IN_PRINT_AT_UNLOAD  a line that the install call prints to
 *                         standard output with printf and leaves in the
 *                         run-time's buffer, which the run-time writes out
 *                         as it is unloaded with the process
 *   ZEL_STAND_IN_THREAD   Windows: milliseconds that a thread the install
 *                         call starts lives on, then exits with status 7;
 *                         journalled as "thread", the milliseconds, "=",
 *                         "begun"
 *
 * A script it cannot read is a broken test: it says so and exits 70.
 */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif
#include "zel_act_installer.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#ifndef STAND_IN_WITHOUT_zelActSvcStatusCodeToText
static const char default_text[] =
    "stand-in installer library: nothing was installed and nothing on this system was changed";
#endif

static unsigned status_reads;

static void broken_script(const char *variable, const char *value)
{
	fprintf(stderr, "stand-in installer library: cannot use %s=%s\n", variable, value);
	exit(70);
}

static long scripted_number(const char *variable, const char *text, const char **end, long min, long max)
{
	char *stop;
	errno = 0;
	long value = strtol(text, &stop, 10);
	if (stop == text || errno != 0 || value < min || value > max)
		broken_script(variable, text);
	*end = stop;
	return value;
}

static zel_bool scripted_result(void)
{
	const char *script = getenv("ZEL_STAND_IN_RESULT");
	const char *end;
	if (script == NULL)
		return 1;
	long result = scripted_number("ZEL_STAND_IN_RESULT", script, &end, 0, 255);
	if (*end != '\0')
		broken_script("ZEL_STAND_IN_RESULT", script);
	return (zel_bool)result;
}

/* The code for the given read (0 is the first); the last listed code repeats. */
static zel_status_code scripted_code(unsigned read)
{
	const char *script = getenv("ZEL_STAND_IN_CODES");
	if (script == NULL)
		return scripted_result() ? 0 : 1;
	const char *next = script;
	zel_status_code code = 0;
	for (unsigned index = 0;; ++index) {
		code = (zel_status_code)scripted_number("ZEL_STAND_IN_CODES", next, &next,
							INT32_MIN, INT32_MAX);
		if (index == read || *next == '\0')
			break;
		if (*next != ',')
			broken_script("ZEL_STAND_IN_CODES", script);
		++next;
	}
	return code;
}

static FILE *open_journal(void)
{
	const char *path = getenv("ZEL_STAND_IN_JOURNAL");
	if (path == NULL)
		return NULL;
	/* Opened and closed per record: the caller's streams must stay its own. */
	FILE *journal = fopen(path, "ab");
	if (journal == NULL)
		broken_script("ZEL_STAND_IN_JOURNAL", path);
	return journal;
}

static void journal_hex(FILE *journal, const char *text)
{
	for (const unsigned char *byte = (const unsigned char *)text; *byte != '\0'; ++byte)
		fprintf(journal, "%02x", *byte);
}

static void close_journal(FILE *journal)
{
	if (fclose(journal) != 0)
		broken_script("ZEL_STAND_IN_JOURNAL", "(write failed)");
}

static int scripted_for(const char *variable, const char *operation)
{
	const char *script = getenv(variable);
	return script != NULL && strcmp(script, operation) == 0;
}

/* Called on entry to each operation. */
static void scripted_fault(const char *operation)
{
	if (scripted_for("ZEL_STAND_IN_CRASH", operation)) {
		volatile int *volatile nowhere = NULL;
		*nowhere = 0;
	}
	while (scripted_for("ZEL_STAND_IN_HANG", operation)) {
#ifdef _WIN32
		Sleep(INFINITE);
#else
		pause();
#endif
	}
}

/* The milliseconds that a variable sets, journalled as what begins with
 * them; -1 where it is not set. */
static long scripted_milliseconds(const char *variable, const char *what)
{
	const char *script = getenv(variable);
	const char *end;
	if (script == NULL)
		return -1;
	long milliseconds = scripted_number(variable, script, &end, 0, 600000);
	if (*end != '\0')
		broken_script(variable, script);
	FILE *journal = open_journal();
	if (journal != NULL) {
		fprintf(journal, "%s\t%ld\t=\tbegun\n", what, milliseconds);
		close_journal(journal);
	}
	return milliseconds;
}

static void scripted_delay(void)
{
	long milliseconds = scripted_milliseconds("ZEL_STAND_IN_INSTALL_DELAY", "delay");
	if (milliseconds < 0)
		return;
#ifdef _WIN32
	Sleep((DWORD)milliseconds);
#else
	/* Slept whole, whatever signal arrives: a signal that ends the process
	 * is what the delay is there to show. */
	struct timespec left = {milliseconds / 1000, milliseconds % 1000 * 1000000};
	while (nanosleep(&left, &left) != 0 && errno == EINTR)
		;
#endif
}

static void scripted_load(void)
{
	const char *name = getenv("ZEL_STAND_IN_LOAD");
	if (name == NULL)
		return;
#ifdef _WIN32
	HMODULE library = LoadLibraryA(name);
	char path[MAX_PATH + 1] = "";
	if (library != NULL)
		GetModuleFileNameA(library, path, sizeof path);
	FILE *journal = open_journal();
	if (journal != NULL) {
		fputs("LoadLibrary\t", journal);
		journal_hex(journal, name);
		fputs("\t=\t", journal);
		if (library == NULL)
			fputs("null", journal);
		else
			journal_hex(journal, path);
		fputc('\n', journal);
		close_journal(journal);
	}
	if (library != NULL)
		FreeLibrary(library);
#else
	broken_script("ZEL_STAND_IN_LOAD", "(only on Windows)");
#endif
}

#ifdef _WIN32
static void journal_helper(const char *what, const char *command, const char *ending)
{
	FILE *journal = open_journal();
	if (journal != NULL) {
		fprintf(journal, "%s\t", what);
		journal_hex(journal, command);
		fprintf(journal, "\t=\t%s\n", ending);
		close_journal(journal);
	}
}

static DWORD WINAPI outliving_thread(LPVOID milliseconds)
{
	Sleep((DWORD)(uintptr_t)milliseconds);
	return 7;
}

/* Starts the command line that the variable holds on the console, journalled
 * as "what"; the process, or NULL where there is none to start or it fails. */
static HANDLE scripted_process(const char *variable, const char *what, BOOL inherit_handles)
{
	static char line[32768];
	const char *command = getenv(variable);
	STARTUPINFOA startup = {.cb = sizeof startup};
	PROCESS_INFORMATION process;
	if (command == NULL)
		return NULL;
	snprintf(line, sizeof line, "%s", command);
	journal_helper(what, command, "begun");
	if (!CreateProcessA(NULL, line, NULL, NULL, inherit_handles, 0, NULL, NULL, &startup, &process)) {
		journal_helper(what, command, "failed");
		return NULL;
	}
	CloseHandle(process.hThread);
	return process.hProcess;
}
#endif

static void scripted_helper(void)
{
#ifdef _WIN32
	HANDLE process = scripted_process("ZEL_STAND_IN_HELPER", "helper", FALSE);
	DWORD status = 0;
	if (process == NULL)
		return;
	WaitForSingleObject(process, INFINITE);
	GetExitCodeProcess(process, &status);
	CloseHandle(process);
	char ending[16];
	snprintf(ending, sizeof ending, "%lu", (unsigned long)status);
	journal_helper("helper", getenv("ZEL_STAND_IN_HELPER"), ending);
#else
	if (getenv("ZEL_STAND_IN_HELPER") != NULL)
		broken_script("ZEL_STAND_IN_HELPER", "(only on Windows)");
#endif
}

/* Left running with every handle that it could inherit, as a service's
 * installer may leave the service running. */
static void scripted_left_running(void)
{
#ifdef _WIN32
	HANDLE process = scripted_process("ZEL_STAND_IN_LEAVE_RUNNING", "left", TRUE);
	if (process != NULL)
		CloseHandle(process);
#else
	if (getenv("ZEL_STAND_IN_LEAVE_RUNNING") != NULL)
		broken_script("ZEL_STAND_IN_LEAVE_RUNNING", "(only on Windows)");
#endif
}

/* What the library writes next stands that many bytes further on. */
static void scripted_skip(void)
{
	const char *script = getenv("ZEL_STAND_IN_SKIP");
	if (script == NULL)
		return;
#ifdef _WIN32
	char *end;
	LARGE_INTEGER distance = {.QuadPart = _strtoi64(script, &end, 10)};
	if (*end != '\0' || distance.QuadPart <= 0 ||
	    !SetFilePointerEx(GetStdHandle(STD_OUTPUT_HANDLE), distance, NULL, FILE_CURRENT))
		broken_script("ZEL_STAND_IN_SKIP", script);
#else
	broken_script("ZEL_STAND_IN_SKIP", "(only on Windows)");
#endif
}

static void scripted_exception(void)
{
	const char *script = getenv("ZEL_STAND_IN_RAISE");
	if (script == NULL)
		return;
#ifdef _WIN32
	char *end;
	unsigned long code = strtoul(script, &end, 16);
	if (*end != '\0' || end == script)
		broken_script("ZEL_STAND_IN_RAISE", script);
	RaiseException((DWORD)code, EXCEPTION_NONCONTINUABLE, 0, NULL);
#else
	broken_script("ZEL_STAND_IN_RAISE", "(only on Windows)");
#endif
}

static void scripted_thread(void)
{
	long milliseconds = scripted_milliseconds("ZEL_STAND_IN_THREAD", "thread");
	if (milliseconds < 0)
		return;
#ifdef _WIN32
	HANDLE thread = CreateThread(NULL, 0, outliving_thread, (LPVOID)(uintptr_t)milliseconds, 0, NULL);
	if (thread == NULL)
		broken_script("ZEL_STAND_IN_THREAD", "(no thread)");
	CloseHandle(thread);
#else
	broken_script("ZEL_STAND_IN_THREAD", "(only on Windows)");
#endif
}

static void scripted_standard_output(void)
{
	const char *path = getenv("ZEL_STAND_IN_STDOUT");
	if (path == NULL)
		return;
#ifdef _WIN32
	HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
	if (file == INVALID_HANDLE_VALUE || !SetStdHandle(STD_OUTPUT_HANDLE, file))
		broken_script("ZEL_STAND_IN_STDOUT", path);
#else
	broken_script("ZEL_STAND_IN_STDOUT", "(only on Windows)");
#endif
}

/* Into standard output's buffer in the library's own run-time; flushed
 * at once, or when the run-time is unloaded. */
static void scripted_print(void)
{
	const char *now = getenv("ZEL_STAND_IN_PRINT");
	const char *at_unload = getenv("ZEL_STAND_IN_PRINT_AT_UNLOAD");
	if (now != NULL) {
		printf("%s", now);
		fflush(stdout);
	}
	if (at_unload != NULL)
		printf("%s\n", at_unload);
}

#ifndef STAND_IN_WITHOUT_zelActSvcInstallWin
zel_bool zelActSvcInstallWin(const char *publisher_name, const char *product_name)
{
	scripted_fault("zelActSvcInstallWin");
	scripted_delay();
	scripted_load();
	scripted_helper();
	scripted_left_running();
	scripted_thread();
	scripted_standard_output();
	scripted_skip();
	scripted_print();
	scripted_exception();
	zel_bool result = scripted_result();
	status_reads = 0;
	FILE *journal = open_journal();
	if (journal != NULL) {
		fputs("zelActSvcInstallWin\t", journal);
		journal_hex(journal, publisher_name);
		fputc('\t', journal);
		journal_hex(journal, product_name);
		fprintf(journal, "\t=\t%u\n", (unsigned)result);
		close_journal(journal);
	}
	return result;
}
#endif

#ifndef STAND_IN_WITHOUT_zelActSvcGetLastErrorWin
zel_status_code zelActSvcGetLastErrorWin(void)
{
	scripted_fault("zelActSvcGetLastErrorWin");
	zel_status_code code = scripted_code(status_reads);
	if (status_reads < UINT_MAX)
		++status_reads;
	FILE *journal = open_journal();
	if (journal != NULL) {
		fprintf(journal, "zelActSvcGetLastErrorWin\t=\t%ld\n", (long)code);
		close_journal(journal);
	}
	return code;
}
#endif

#ifndef STAND_IN_WITHOUT_zelActSvcStatusCodeToText
const char *zelActSvcStatusCodeToText(zel_status_code code)
{
	scripted_fault("zelActSvcStatusCodeToText");
	const char *text = getenv("ZEL_STAND_IN_TEXT");
	const char *null_text = getenv("ZEL_STAND_IN_NULL_TEXT");
	if (text == NULL)
		text = default_text;
	if (null_text != NULL && strcmp(null_text, "1") == 0)
		text = NULL;
	FILE *journal = open_journal();
	if (journal != NULL) {
		fprintf(journal, "zelActSvcStatusCodeToText\t%ld\t=\t", (long)code);
		if (text == NULL)
			fputs("null", journal);
		else
			journal_hex(journal, text);
		fputc('\n', journal);
		close_journal(journal);
	}
	return text;
}
#endif
