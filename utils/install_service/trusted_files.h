/*
 * Whether anyone but an administrator can change a file or folder: an
 * elevated tolvane.exe runs the installer library, and the libraries
 * beside it, from its own folder.
 */
#ifndef TOLVANE_TRUSTED_FILES_H
#define TOLVANE_TRUSTED_FILES_H

#include <stddef.h>

enum class file_trust {
	/* owned and changeable only by SYSTEM, the Administrators group,
	 * TrustedInstaller and the account that runs this process */
	trusted,
	absent,
	/* someone else owns it, or an entry of its access control list that
	 * applies to it lets someone else write to it, add files or folders to
	 * it, delete it or what it holds, or change its permissions or owner */
	changeable,
	/* its owner and access control list could not be read */
	unknown,
};

/* The verdict on the file or folder at path; where it is changeable, the
 * account (or the entry) that can change it in account, as it is named, in
 * the ANSI code page; where it is unknown, the error in *error. */
file_trust who_can_change(const wchar_t *path, char *account, size_t room, unsigned long *error);

#endif
