/*
 * Where libraries that the installer library loads while it runs come from.
 */
#ifndef TOLVANE_LIBRARY_SEARCH_H
#define TOLVANE_LIBRARY_SEARCH_H

#ifdef _WIN32
/* Libraries loaded by name from here on come from tolvane.exe's own folder
 * and System32, never from the current folder or PATH. */
void restrict_library_search();
#else
static inline void restrict_library_search()
{
}
#endif

#endif
