/*
 * The two names from tolvane's command line, as the installer library takes
 * them: narrow strings, in the ANSI code page on Windows.
 */
#ifndef TOLVANE_COMMAND_LINE_H
#define TOLVANE_COMMAND_LINE_H

#include <stddef.h>

/* The number of arguments, the program name included; when there are
 * exactly three, the publisher and product names.  On Windows a name that
 * the ANSI code page cannot hold exactly comes back as a null pointer. */
#ifdef _WIN32
int command_line_names(int argc, char *argv[], const char **publisher_name, const char **product_name);

/* Writes the name in the code page exactly or not at all: no best-fit
 * look-alikes, no default character for what the code page lacks.  A name
 * that does not convert as typed is tried in its canonical composition,
 * which must fit the buffers and bring in no ASCII punctuation of its own.
 * Returns the bytes written, NUL included, or 0. */
int name_in_code_page(unsigned code_page, const wchar_t *name, char *out, int size);
#else
/* Elsewhere the arguments are bytes already, passed on as they are. */
static inline int command_line_names(int argc, char *argv[], const char **publisher_name,
				     const char **product_name)
{
	if (argc == 3) {
		*publisher_name = argv[1];
		*product_name = argv[2];
	}
	return argc;
}
#endif

/* Splits a Windows command line by the rules of Microsoft's current C
 * run-time: the program name first, by its own rule, then the arguments.
 * The arguments are written to buffer, which holds at least the line's
 * length plus one characters; the first `capacity` of them are pointed to
 * from arguments.  Returns the number of arguments, the program name
 * included, however many there are. */
size_t split_windows_command_line(const wchar_t *line, wchar_t *buffer, const wchar_t **arguments,
				  size_t capacity);

/* The rest of a Windows command line after its program name, which ends by
 * the same rule: from the blank or tab that ends it, or the line's end. */
const wchar_t *after_program_name(const wchar_t *line);

#endif
