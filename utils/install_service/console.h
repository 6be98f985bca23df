/*
 * tolvane's console: how a message reaches the administrator's screen or
 * log, the pause, and an installation that Ctrl+C cannot cut short.
 */
#ifndef TOLVANE_CONSOLE_H
#define TOLVANE_CONSOLE_H

#include <stddef.h>

#ifdef _WIN32
/* The entry point calls this before main, as a C run-time takes its
 * streams: the standard handles that the messages and the pause use from
 * then on, whatever becomes of the process's own. */
extern "C" void take_standard_handles();

/* printf for tolvane's own texts, which use %s and %d alone; a message with
 * any other conversion is not written at all.  Each message goes out in one
 * write, with the line ends of text-mode output (CR LF).  On a console it
 * goes out in UTF-16, so that the console shows every character of the ANSI
 * code page as it was typed, whatever its own output code page; redirected,
 * it is the ANSI code page's bytes. */
void print_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* The same for standard error. */
void print_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* The bytes that print_message writes for a format and its arguments, and
 * a NUL, in memory from the process heap (HeapFree); nullptr without
 * memory or at a conversion other than %s and %d. */
char *message_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* One piece of a text in the ANSI code page to standard output: its bytes
 * as they are, or on a console in UTF-16, as print_message writes them.
 * Where more pieces follow, a character that the end of this one cuts is
 * not written on a console: the next piece begins with it again.  Returns
 * the bytes written. */
size_t write_output(const char *bytes, size_t length, bool more_follow);

/* Nothing waits: each message is out when print_message returns. */
static inline void flush_messages()
{
}

/* One read of standard input: on a console in line mode, the whole line
 * typed; at its end, or without standard input, none. */
void wait_for_input();

/* From here until the process ends, Ctrl+C and Ctrl+Break do not end it,
 * and Ctrl+C does not end the console programs that it starts either. */
void ignore_interrupts();
#else
#include <signal.h>
#include <stdio.h>

/* A terminal shows the bytes as they are. */
#define print_message printf

static inline void flush_messages()
{
	fflush(stdout);
}

static inline void wait_for_input()
{
	getchar();
}

static inline void ignore_interrupts()
{
	signal(SIGINT, SIG_IGN);
}
#endif

#endif
