/*
 * tolvane's console: how a message reaches the administrator's screen, and
 * an installation that Ctrl+C cannot cut short.
 */
#ifndef TOLVANE_CONSOLE_H
#define TOLVANE_CONSOLE_H

#ifdef _WIN32
#include <stdio.h>

/* printf, except on a console: there the same text goes out in UTF-16, so
 * that the console shows every character of the ANSI code page as it was
 * typed, whatever its own output code page.  Redirected output stays the
 * ANSI code page's bytes. */
void print_message(const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

/* From here until the process ends, Ctrl+C and Ctrl+Break do not end it. */
void ignore_interrupts();
#else
#include <signal.h>
#include <stdio.h>

/* A terminal shows the bytes as they are. */
#define print_message printf

static inline void ignore_interrupts()
{
	signal(SIGINT, SIG_IGN);
}
#endif

#endif
