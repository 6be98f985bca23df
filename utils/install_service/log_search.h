/*
 * tolvane-run's search of a log for the lines that tolvane.exe writes: the
 * log is fed to it piece by piece, so that one of any size takes the same
 * memory, and a line that the edge of a piece cuts is found all the same.
 * Bytes only: no system calls, so that it is tested on any platform.
 */
#ifndef TOLVANE_LOG_SEARCH_H
#define TOLVANE_LOG_SEARCH_H

#include <stddef.h>

/* One line, looked for at every byte (Knuth, Morris and Pratt): between
 * pieces the search keeps only how much of the line the bytes so far end
 * with, and never looks at a byte twice. */
struct line_search {
	const char *line;
	size_t length;
	size_t *fallback;
	size_t matched;
};

/* A search for the NUL-terminated line, with room for as many fallback
 * entries as it has bytes.  Without a line or that room it finds nothing. */
void begin_line_search(line_search &search, const char *line, size_t *fallback);

/* Which of the lines ends first in this piece of the log, the bytes before
 * it having been fed in earlier pieces; count where none does. */
size_t first_line_ending_in(line_search *searches, size_t count, const char *piece, size_t size);

#endif
