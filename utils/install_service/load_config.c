/*
 * The image's load configuration.  Its DependentLoadFlags make Windows 10
 * 1607 and later resolve tolvane.exe's imports, the installer library above
 * all, only from tolvane.exe's own folder and System32: never from the
 * current folder or a folder on PATH, which a user may be able to write.
 * Earlier Windows ignores the field.  lld writes the load configuration
 * directory from this symbol; GNU ld 2.40 would leave it out.
 */
#include <windows.h>

const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
	.Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
	/* DependentLoadFlags, by the name these MinGW-w64 headers still give it */
	.Reserved1 = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32,
};
