/*
 * tolvane's messages, its pause and Ctrl+C on Windows, with KERNEL32 alone.
 * A console shows bytes in its output code page, the OEM one unless someone
 * changed it (850, 437), not in the ANSI code page that the names and the
 * library's status text are in: bytes would show "Müller" as "M³ller".  So
 * on a console each message goes out as UTF-16, converted from the ANSI
 * code page, and the console shows it as typed.
 */
#include "console.h"

#include <limits.h>
#include <stdarg.h>
#include <windows.h>

/* Windows before 8 takes at most about 64 KB in one WriteConsoleW call, from
 * a buffer it shares with the console: pieces of at most 32,766 bytes. */
enum { console_write_limit = 16383 };

/* Where a message's bytes go as it is formatted: nowhere while it is
 * measured (no buffer), into a buffer of its size, or, without memory for
 * one, into a fixed buffer that is written out to the handle each time it
 * is full. */
struct message_bytes {
	HANDLE output;
	char *buffer;
	size_t size;
	size_t length;
};

/* The standard handles that tolvane was started with.  An installer library
 * that points standard output elsewhere for its own console programs
 * (SetStdHandle) and leaves it so must not take tolvane's lines with it. */
static HANDLE started_input, started_output, started_error;

extern "C" void take_standard_handles()
{
	started_input = GetStdHandle(STD_INPUT_HANDLE);
	started_output = GetStdHandle(STD_OUTPUT_HANDLE);
	started_error = GetStdHandle(STD_ERROR_HANDLE);
}

/* Where tolvane started without one, the handle of the moment. */
static HANDLE standard_handle(HANDLE started, DWORD which)
{
	return started != nullptr && started != INVALID_HANDLE_VALUE ? started : GetStdHandle(which);
}

/* Write errors (a reader that has gone, a full disk, no handle) end the
 * write: the outcome is the library's, whatever becomes of the output. */
static void write_bytes(HANDLE output, const char *bytes, size_t length)
{
	while (length > 0) {
		DWORD written = 0;
		if (!WriteFile(output, bytes, length < MAXDWORD ? static_cast<DWORD>(length) : MAXDWORD, &written,
			       nullptr) ||
		    written == 0)
			return;
		bytes += written;
		length -= written;
	}
}

static void put_byte(message_bytes &out, char byte)
{
	if (out.buffer != nullptr) {
		if (out.length == out.size) {
			write_bytes(out.output, out.buffer, out.length);
			out.length = 0;
		}
		out.buffer[out.length] = byte;
	}
	++out.length;
}

/* LF as CR LF, as text-mode output writes it, wherever it comes from: the
 * texts, a name or the library's status text. */
static void put_character(message_bytes &out, char character)
{
	if (character == '\n')
		put_byte(out, '\r');
	put_byte(out, character);
}

static void put_decimal(message_bytes &out, int value)
{
	/* The magnitude as unsigned: that of INT_MIN is no int. */
	unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
	char digits[10];
	size_t count = 0;
	do {
		digits[count++] = static_cast<char>('0' + magnitude % 10);
		magnitude /= 10;
	} while (magnitude != 0);
	if (value < 0)
		put_byte(out, '-');
	while (count > 0)
		put_byte(out, digits[--count]);
}

/* False at a conversion other than %s and %d. */
static bool format_message(message_bytes &out, const char *format, va_list arguments)
{
	for (; *format != '\0'; ++format) {
		if (*format != '%') {
			put_character(out, *format);
			continue;
		}
		++format;
		if (*format == 's') {
			for (const char *text = va_arg(arguments, const char *); *text != '\0'; ++text)
				put_character(out, *text);
		} else if (*format == 'd') {
			put_decimal(out, va_arg(arguments, int));
		} else {
			return false;
		}
	}
	return true;
}

/* The message in UTF-16, in pieces that every Windows takes.  False when
 * nothing of it could be written: no memory to convert it, or a handle that
 * is a character device but not a console's screen (NUL, a serial port, a
 * console's input). */
static bool write_console(HANDLE console, const char *bytes, size_t length)
{
	const HANDLE heap = GetProcessHeap();
	const int size = length <= INT_MAX ? static_cast<int>(length) : 0;
	const int units = MultiByteToWideChar(CP_ACP, 0, bytes, size, nullptr, 0);
	const size_t text_size = sizeof(wchar_t) * static_cast<size_t>(units);
	auto *const text = units > 0 ? static_cast<wchar_t *>(HeapAlloc(heap, 0, text_size)) : nullptr;
	if (text == nullptr)
		return false;
	MultiByteToWideChar(CP_ACP, 0, bytes, size, text, units);
	size_t done = 0;
	while (done < static_cast<size_t>(units)) {
		const size_t left = static_cast<size_t>(units) - done;
		DWORD piece = left < console_write_limit ? static_cast<DWORD>(left) : console_write_limit;
		if (piece < left && IS_HIGH_SURROGATE(text[done + piece - 1]))
			--piece; /* a character's two halves go out together */
		DWORD written = 0;
		if (!WriteConsoleW(console, text + done, piece, &written, nullptr) || written == 0)
			break;
		done += written;
	}
	HeapFree(heap, 0, text);
	return done > 0;
}

/* The text on a console as UTF-16, elsewhere (or where that fails) as it
 * is: a console by the handle written alone, since "tolvane A B > log"
 * typed at a console has its input and standard error there. */
static void write_text(HANDLE output, const char *bytes, size_t length)
{
	if (GetFileType(output) != FILE_TYPE_CHAR || !write_console(output, bytes, length))
		write_bytes(output, bytes, length);
}

/* The message's bytes in memory from the process heap, with their number
 * in *length and a NUL after them; nullptr without memory, or, with *known
 * false, at a conversion other than %s and %d. */
static char *format_in_heap(size_t *length, bool *known, const char *format, va_list arguments)
{
	va_list measuring;
	va_copy(measuring, arguments);
	message_bytes measure = {nullptr, nullptr, 0, 0};
	*known = format_message(measure, format, measuring);
	va_end(measuring);
	*length = measure.length;
	auto *const buffer = *known ? static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, measure.length + 1)) : nullptr;
	if (buffer != nullptr) {
		message_bytes message = {nullptr, buffer, measure.length, 0};
		format_message(message, format, arguments);
		buffer[measure.length] = '\0';
	}
	return buffer;
}

static void print_to(HANDLE output, const char *format, va_list arguments)
{
	size_t length = 0;
	bool known = false;
	va_list formatting;
	va_copy(formatting, arguments);
	char *const buffer = format_in_heap(&length, &known, format, formatting);
	va_end(formatting);
	if (!known)
		return;
	if (buffer == nullptr) {
		static char fixed[512];
		message_bytes message = {output, fixed, sizeof fixed, 0};
		format_message(message, format, arguments);
		write_bytes(output, message.buffer, message.length);
		return;
	}
	write_text(output, buffer, length);
	HeapFree(GetProcessHeap(), 0, buffer);
}

char *message_text(const char *format, ...)
{
	size_t length = 0;
	bool known = false;
	va_list arguments;
	va_start(arguments, format);
	char *const text = format_in_heap(&length, &known, format, arguments);
	va_end(arguments);
	return text;
}

void print_message(const char *format, ...)
{
	va_list arguments;
	va_start(arguments, format);
	print_to(standard_handle(started_output, STD_OUTPUT_HANDLE), format, arguments);
	va_end(arguments);
}

void print_error(const char *format, ...)
{
	va_list arguments;
	va_start(arguments, format);
	print_to(standard_handle(started_error, STD_ERROR_HANDLE), format, arguments);
	va_end(arguments);
}

/* How many bytes a character of the ANSI code page takes that begins with
 * this one: on a console, UTF-16 is made of whole characters. */
static size_t character_length(const CPINFOEXW &code_page, unsigned char lead)
{
	if (code_page.CodePage == CP_UTF8)
		return lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xC2 && lead <= 0xDF ? 2 : 1;
	for (size_t range = 0; range + 1 < MAX_LEADBYTES && code_page.LeadByte[range] != 0; range += 2)
		if (lead >= code_page.LeadByte[range] && lead <= code_page.LeadByte[range + 1])
			return 2;
	return 1;
}

/* The bytes at the end that begin a character which they do not end. */
static size_t cut_at_the_end(const char *bytes, size_t length)
{
	CPINFOEXW code_page;
	if (!GetCPInfoExW(CP_ACP, 0, &code_page) || code_page.MaxCharSize == 1)
		return 0;
	size_t start = 0, next = 0;
	while (next < length) {
		start = next;
		next += character_length(code_page, static_cast<unsigned char>(bytes[next]));
	}
	return next > length ? length - start : 0;
}

size_t write_output(const char *bytes, size_t length, bool more_follow)
{
	const HANDLE output = standard_handle(started_output, STD_OUTPUT_HANDLE);
	if (more_follow && GetFileType(output) == FILE_TYPE_CHAR)
		length -= cut_at_the_end(bytes, length);
	write_text(output, bytes, length);
	return length;
}

void wait_for_input()
{
	/* As much as the C run-time's stream buffer takes: a console in line
	 * mode hands one read the whole line typed, where a smaller read would
	 * leave the rest in the console for the shell that started tolvane,
	 * which would run it as a command. */
	static char line[4096];
	DWORD read = 0;
	ReadFile(standard_handle(started_input, STD_INPUT_HANDLE), line, sizeof line, &read, nullptr);
}

static BOOL WINAPI outlive_ctrl_break(DWORD event)
{
	return event == CTRL_BREAK_EVENT;
}

void ignore_interrupts()
{
	/* Ctrl+C goes to every process on the console, the console programs
	 * that the installer library runs (sc.exe, netsh, a script) among
	 * them: they inherit this flag, which turns it off.  Ctrl+Break cannot
	 * be turned off for them, only for tolvane, by its own handler. */
	SetConsoleCtrlHandler(nullptr, TRUE);
	SetConsoleCtrlHandler(outlive_ctrl_break, TRUE);
}
