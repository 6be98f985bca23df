/*
 * tolvane on a Windows console.  A console shows bytes in its output code
 * page, the OEM one unless someone changed it (850, 437), not in the ANSI
 * code page that the names and the library's status text are in: printf's
 * bytes would show "Müller" as "M³ller".  So on a console each message goes
 * out as UTF-16, converted from the ANSI code page, and the console shows it
 * as typed.
 */
#include "console.h"

#include <stdarg.h>
#include <stdlib.h>
#include <windows.h>

/* Windows before 8 takes at most about 64 KB in one WriteConsoleW call, from
 * a buffer it shares with the console: pieces of at most 32,766 bytes. */
enum { console_write_limit = 16383 };

static void write_console(HANDLE console, const wchar_t *text, size_t length)
{
	while (length > 0) {
		DWORD piece = length < console_write_limit ? static_cast<DWORD>(length) : console_write_limit;
		if (piece < length && IS_HIGH_SURROGATE(text[piece - 1]))
			--piece; /* a character's two halves go out together */
		DWORD written = 0;
		if (!WriteConsoleW(console, text, piece, &written, nullptr) || written == 0)
			return;
		text += written;
		length -= written;
	}
}

/* The message formatted as printf formats it, in UTF-16, with the line ends
 * that text-mode output writes (CR LF); nullptr if it cannot be made. */
static wchar_t *console_text(const char *format, va_list arguments, size_t *length)
{
	va_list measure;
	va_copy(measure, arguments);
	const int size = _vscprintf(format, measure);
	va_end(measure);
	char *narrow = size > 0 ? static_cast<char *>(malloc(static_cast<size_t>(size) + 1)) : nullptr;
	if (narrow == nullptr)
		return nullptr;
	_vsnprintf(narrow, static_cast<size_t>(size) + 1, format, arguments);

	const int units = MultiByteToWideChar(CP_ACP, 0, narrow, size, nullptr, 0);
	wchar_t *text = units > 0 ? static_cast<wchar_t *>(malloc(2 * static_cast<size_t>(units) * sizeof *text))
				  : nullptr;
	if (text != nullptr) {
		/* Converted into the second half, then moved forward with a CR
		 * before each LF: the writing end never passes the reading one. */
		const wchar_t *converted = text + units;
		MultiByteToWideChar(CP_ACP, 0, narrow, size, text + units, units);
		wchar_t *out = text;
		for (int index = 0; index < units; ++index) {
			if (converted[index] == L'\n')
				*out++ = L'\r';
			*out++ = converted[index];
		}
		*length = static_cast<size_t>(out - text);
	}
	free(narrow);
	return text;
}

void print_message(const char *format, ...)
{
	va_list arguments;
	va_start(arguments, format);
	HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
	DWORD mode;
	size_t length = 0;
	wchar_t *text = nullptr;
	if (GetConsoleMode(output, &mode)) {
		va_list copy;
		va_copy(copy, arguments);
		text = console_text(format, copy, &length);
		va_end(copy);
	}
	if (text != nullptr)
		write_console(output, text, length);
	else /* not a console, or no memory to convert: the bytes, as printf writes them */
		vprintf(format, arguments);
	free(text);
	va_end(arguments);
}

static BOOL WINAPI outlive_interrupt(DWORD event)
{
	return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

void ignore_interrupts()
{
	SetConsoleCtrlHandler(outlive_interrupt, TRUE);
}
