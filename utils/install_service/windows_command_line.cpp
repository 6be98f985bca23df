/*
 * tolvane's command line on Windows, read as UTF-16 and split here rather
 * than by msvcrt.dll's start-up code, which splits the narrow command line:
 * by then Windows has mapped look-alike characters to real ones (a
 * fullwidth quotation mark becomes a quote that moves argument boundaries)
 * and characters outside the ANSI code page to '?', and msvcrt.dll keeps an
 * old rule for doubled quotes that no other run-time follows.
 */
#include "command_line.h"

#include <windows.h>

/* The longest command line Windows passes: a UNICODE_STRING's length in
 * bytes is 16 bits. */
enum { command_line_limit = 32767 };

/* Each UTF-16 unit takes at most three bytes in any ANSI code page, and
 * decomposes into at most four. */
enum { decomposition_limit = 4 * (command_line_limit + 1) };
static wchar_t split_arguments[command_line_limit + 1];
static wchar_t composed_name[command_line_limit + 1];
static wchar_t decomposed_name[decomposition_limit];
static wchar_t held_name[decomposition_limit];
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

/* FoldStringW's result where it fits the room, else 0: Windows returns 0
 * for a result longer than the room, Wine the length it needed, having
 * written nothing. */
static int fold(DWORD flags, const wchar_t *text, int length, wchar_t *out, int room)
{
	const int written = FoldStringW(flags, text, length, out, room);
	return written <= room ? written : 0;
}

static bool is_combining_mark(wchar_t character)
{
	WORD type = 0;
	return GetStringTypeW(CT_CTYPE3, &character, 1, &type) && (type & C3_NONSPACING) != 0;
}

/* True, with the character, where the letter and the mark compose into one
 * character that the code page holds. */
static bool composed_in_code_page(unsigned code_page, wchar_t letter, wchar_t mark, wchar_t *composed)
{
	const wchar_t pair[] = {letter, mark};
	wchar_t one[] = {L'\0', L'\0'};
	char bytes[8];
	if (fold(MAP_PRECOMPOSED, pair, 2, one, 1) != 1 ||
	    exactly_in_code_page(code_page, one, bytes, sizeof bytes) == 0)
		return false;
	*composed = one[0];
	return true;
}

/* The name decomposed, then each letter composed with as many of its marks,
 * in their order, as the code page holds in one character, the marks left
 * after it as they came; nullptr if it cannot be made.  Composing a mark
 * that comes after one left behind puts it before that one: the same text
 * where the two may change places ("ệ" as "ê" and the dot below), not where
 * they may not; without past_left, a letter takes only the marks before the
 * first one left. */
static const wchar_t *held_form(unsigned code_page, const wchar_t *name, bool past_left)
{
	if (fold(MAP_COMPOSITE, name, -1, decomposed_name, decomposition_limit) == 0)
		return nullptr;
	wchar_t *out = held_name;
	for (const wchar_t *in = decomposed_name; *in != L'\0';) {
		wchar_t letter = *in++;
		wchar_t *marks = out + 1;
		for (; *in != L'\0' && is_combining_mark(*in); ++in)
			if ((marks > out + 1 && !past_left) || !composed_in_code_page(code_page, letter, *in, &letter))
				*marks++ = *in;
		*out = letter;
		out = marks;
	}
	*out = L'\0';
	return held_name;
}

static bool same_text(const wchar_t *one, const wchar_t *other)
{
	while (*one != L'\0' && *one == *other) {
		++one;
		++other;
	}
	return *one == *other;
}

static bool holds(const wchar_t *text, wchar_t character)
{
	for (; *text != L'\0'; ++text)
		if (*text == character)
			return true;
	return false;
}

/* Composition turns Unicode's duplicates of ASCII punctuation into the real
 * characters (GREEK QUESTION MARK into ";", GREEK VARIA into "`"): syntax
 * where the library puts a name into a command, a script or a registry
 * path, which the name as typed did not hold.  Letters and digits may come
 * so (KELVIN SIGN as "K"). */
static bool adds_ascii_punctuation(const wchar_t *form, const wchar_t *name)
{
	for (; *form != L'\0'; ++form) {
		const wchar_t c = *form;
		const bool letter_or_digit =
			(c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
		if (c < 0x80 && !letter_or_digit && !holds(name, c))
			return true;
	}
	return false;
}

/* The form of the name that the code page holds exactly, or nullptr. */
static const wchar_t *form_in_code_page(unsigned code_page, const wchar_t *name, char *out, int size)
{
	if (exactly_in_code_page(code_page, name, out, size) != 0)
		return name;
	/* Text from some systems arrives decomposed: "e" and a combining acute
	 * accent where the code page has "é". */
	if (fold(MAP_PRECOMPOSED, name, -1, composed_name, command_line_limit + 1) == 0)
		return nullptr;
	if (exactly_in_code_page(code_page, composed_name, out, size) != 0)
		return composed_name;
	/* Vietnamese text comes precomposed ("ệ"), where code page 1258 holds
	 * the letter with its vowel mark ("ê") and the tone marks apart.  A form
	 * of the name is right when its composition is the name's. */
	const bool ways[] = {true, false};
	for (const bool past_left : ways) {
		const wchar_t *held = held_form(code_page, name, past_left);
		if (held != nullptr && fold(MAP_PRECOMPOSED, held, -1, decomposed_name, decomposition_limit) != 0 &&
		    same_text(decomposed_name, composed_name))
			return held;
	}
	return nullptr;
}

int name_in_code_page(unsigned code_page, const wchar_t *name, char *out, int size)
{
	const wchar_t *form = form_in_code_page(code_page, name, out, size);
	if (form == nullptr || adds_ascii_punctuation(form, name))
		return 0;
	return exactly_in_code_page(code_page, form, out, size);
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
