/*
 * Where the libraries that the installer library loads, and the programs
 * that it starts, are looked for while it runs.
 */
#ifndef TOLVANE_SEARCH_PATHS_H
#define TOLVANE_SEARCH_PATHS_H

#ifdef _WIN32
/* From here on, libraries loaded by name come from tolvane.exe's own folder
 * and System32, never from the current folder or PATH; programs started by
 * name are no longer looked for in the current folder. */
void restrict_search_paths();
#else
static inline void restrict_search_paths()
{
}
#endif

#endif
