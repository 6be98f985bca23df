/*
 * tolvane's command line on Windows, read as UTF-16 and split here rather
 * than by msvcrt.dll's start-up code, which splits the narrow command line:
 * by then Windows has mapped look-alike characters to real ones (a
 * fullwidth quotation mark becomes a quote that moves argument boundaries)
 * and characters outside the ANSI code page to '?', and msvcrt.dll keeps an
 * old rule for doubled quotes that no other run-time follows.
 */
#include "command_line.h"

static bool is_blank(wchar_t character)
{
	return character == L' ' || character == L'\t';
}

static wchar_t *put_backslashes(wchar_t *out, size_t count)
{
	while (count-- > 0)
		*out++ = L'\\';
	return out;
}

size_t split_windows_command_line(const wchar_t *line, wchar_t *buffer, const wchar_t **arguments,
				  size_t capacity)
{
	const wchar_t *in = line;
	wchar_t *out = buffer;

	/* The program name is a path: quotes only keep its blanks, backslashes
	 * are plain characters, and it ends at the first blank outside quotes. */
	if (capacity > 0)
		arguments[0] = out;
	bool quoted = false;
	for (; *in != L'\0' && (quoted || !is_blank(*in)); ++in) {
		if (*in == L'"')
			quoted = !quoted;
		else
			*out++ = *in;
	}
	*out++ = L'\0';
	size_t count = 1;

	for (;;) {
		while (is_blank(*in))
			++in;
		if (*in == L'\0')
			return count;
		if (count < capacity)
			arguments[count] = out;
		++count;
		quoted = false;
		for (;;) {
			size_t backslashes = 0;
			while (*in == L'\\') {
				++backslashes;
				++in;
			}
			if (*in != L'"') {
				/* Not before a quote: backslashes are themselves. */
				out = put_backslashes(out, backslashes);
				if (*in == L'\0' || (!quoted && is_blank(*in)))
					break;
				*out++ = *in++;
				continue;
			}
			/* 2n backslashes and a quote: n backslashes, and the quote
			 * opens or closes a quoted region; 2n+1: n and a literal quote. */
			out = put_backslashes(out, backslashes / 2);
			++in;
			if (backslashes % 2 == 1)
				*out++ = L'"';
			else if (quoted && *in == L'"')
				*out++ = *in++; /* "" in a region: one quote, the region stays open */
			else
				quoted = !quoted;
		}
		*out++ = L'\0';
	}
}

#ifdef _WIN32
#include <windows.h>

/* The longest command line Windows passes: a UNICODE_STRING's length in
 * bytes is 16 bits. */
enum { command_line_limit = 32767 };

/* Each UTF-16 unit takes at most three bytes in any ANSI code page. */
static wchar_t split_arguments[command_line_limit + 1];
static wchar_t composed_name[command_line_limit + 1];
static char narrow_names[3 * (command_line_limit + 1)];

static int exactly_in_code_page(unsigned code_page, const wchar_t *name, char *out, int size)
{
	/* UTF-8 holds every character but an unpaired surrogate, and takes no
	 * pointer for the default character. */
	if (code_page == CP_UTF8)
		return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, out, size, nullptr, nullptr);
	BOOL used_default_char = FALSE;
	int written = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, name, -1, out, size, nullptr,
					  &used_default_char);
	return used_default_char ? 0 : written;
}

int name_in_code_page(unsigned code_page, const wchar_t *name, char *out, int size)
{
	int written = exactly_in_code_page(code_page, name, out, size);
	if (written != 0)
		return written;
	/* Text from some systems arrives decomposed: "e" and a combining acute
	 * accent where the code page has "é". */
	if (FoldStringW(MAP_PRECOMPOSED, name, -1, composed_name, command_line_limit + 1) == 0)
		return 0;
	return exactly_in_code_page(code_page, composed_name, out, size);
}

int command_line_names(int, char *[], const char **publisher_name, const char **product_name)
{
	const wchar_t *line = GetCommandLineW();
	if (lstrlenW(line) > command_line_limit) /* never: but the buffers must not overflow */
		return 0;
	const wchar_t *arguments[3];
	size_t count = split_windows_command_line(line, split_arguments, arguments, 3);
	if (count != 3)
		return static_cast<int>(count);

	const unsigned code_page = GetACP();
	int publisher_size = name_in_code_page(code_page, arguments[1], narrow_names, sizeof narrow_names);
	int product_size = publisher_size == 0 ? 0
		: name_in_code_page(code_page, arguments[2], narrow_names + publisher_size,
				    static_cast<int>(sizeof narrow_names) - publisher_size);
	if (product_size != 0) {
		*publisher_name = narrow_names;
		*product_name = narrow_names + publisher_size;
	}
	return 3;
}
#endif
