/*
 * Splitting a Windows command line by the rules of Microsoft's current C
 * run-time, on every platform, so that the rules are tested where Wine
 * cannot show Windows' own.
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

/* The program name is a path: quotes only keep its blanks, backslashes are
 * plain characters, and it ends at the first blank outside quotes.  Copies
 * it without its quotes to *out, where out is given; returns its end. */
static const wchar_t *scan_program_name(const wchar_t *in, wchar_t **out)
{
	bool quoted = false;
	for (; *in != L'\0' && (quoted || !is_blank(*in)); ++in) {
		if (*in == L'"')
			quoted = !quoted;
		else if (out != nullptr)
			*(*out)++ = *in;
	}
	return in;
}

const wchar_t *after_program_name(const wchar_t *line)
{
	return scan_program_name(line, nullptr);
}

size_t split_windows_command_line(const wchar_t *line, wchar_t *buffer, const wchar_t **arguments,
				  size_t capacity)
{
	wchar_t *out = buffer;
	if (capacity > 0)
		arguments[0] = out;
	const wchar_t *in = scan_program_name(line, &out);
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
		bool quoted = false;
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
