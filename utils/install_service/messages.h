/*
 * The lines that tolvane writes first, one of which tells the outcome:
 * tolvane-run.exe looks for the one that tolvane.exe writes for its names.
 */
#ifndef TOLVANE_MESSAGES_H
#define TOLVANE_MESSAGES_H

#define INSTALLED_LINE "Successfully installed anchor service for publisher %s, product %s\n"
#define NOT_INSTALLED_LINE "Error installing anchor service for publisher %s, product %s\n"
#define NAMES_REFUSED_LINE                                                                                  \
	"Error installing anchor service: the publisher or product name has characters outside this system's " \
	"ANSI code page; the installer library was not called\n"
#define USAGE_LINE "Usage: tolvane publisher_name product_name\n"

#endif
