/*
 * As OpenSSH for Windows judges its keys and sudo its own files: by the
 * owner and by each entry of the access control list that applies to the
 * object itself (an inherit-only entry applies only to what is made in a
 * folder later).  An entry that denies is no danger; one that allows can
 * be, unless it names an account that may change the files anyway.
 */
#include "trusted_files.h"

#include <windows.h>

#include <sddl.h>

/* A SID of a fixed number of sub-authorities, as Windows lays it out. */
template <size_t count> struct fixed_sid {
	BYTE revision;
	BYTE sub_authority_count;
	SID_IDENTIFIER_AUTHORITY authority;
	DWORD sub_authorities[count];
};

/* SYSTEM (S-1-5-18), the Administrators group (S-1-5-32-544), and
 * TrustedInstaller (S-1-5-80-956008885-...), which owns Windows' own
 * files. */
static fixed_sid<1> local_system = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
static fixed_sid<2> administrators = {SID_REVISION, 2, SECURITY_NT_AUTHORITY,
				      {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
static fixed_sid<6> trusted_installer = {
	SID_REVISION,
	6,
	SECURITY_NT_AUTHORITY,
	{SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};

/* Writing (for a folder: adding files), appending (adding folders),
 * deleting it or what a folder holds, and changing its permissions or
 * owner; and the generic rights that grant these. */
static const DWORD changing_rights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | FILE_DELETE_CHILD | WRITE_DAC |
				     WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

/* The account that runs this process. */
static PSID running_account()
{
	static DWORD user[32];
	HANDLE token = nullptr;
	DWORD size = 0;
	const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
			   GetTokenInformation(token, TokenUser, user, sizeof user, &size);
	if (token != nullptr)
		CloseHandle(token);
	return known ? reinterpret_cast<TOKEN_USER *>(user)->User.Sid : nullptr;
}

static bool trusted(PSID account, PSID running)
{
	return (running != nullptr && EqualSid(account, running)) || EqualSid(account, &local_system) ||
	       EqualSid(account, &administrators) || EqualSid(account, &trusted_installer);
}

/* DOMAIN\name, or the SID where it has no name here. */
static void name_account(PSID account, char *name, size_t room)
{
	static wchar_t user[256], domain[256], text[520];
	DWORD user_size = 256, domain_size = 256;
	SID_NAME_USE use;
	wchar_t *sid_text = nullptr;
	if (account == nullptr) {
		lstrcpynW(text, L"nobody (it has no owner)", 520);
	} else if (LookupAccountSidW(nullptr, account, user, &user_size, domain, &domain_size, &use)) {
		lstrcpynW(text, domain, 256);
		if (text[0] != L'\0')
			lstrcatW(text, L"\\");
		lstrcatW(text, user);
	} else if (ConvertSidToStringSidW(account, &sid_text)) {
		lstrcpynW(text, sid_text, 520);
		LocalFree(sid_text);
	} else {
		lstrcpynW(text, L"an account without a name", 520);
	}
	if (WideCharToMultiByte(CP_ACP, 0, text, -1, name, static_cast<int>(room), nullptr, nullptr) == 0)
		name[0] = '\0';
}

file_trust who_can_change(const wchar_t *path, char *account, size_t room, unsigned long *error)
{
	/* The largest security descriptor: an access control list's size is
	 * 16 bits. */
	static DWORD descriptor[17000];
	DWORD size = 0;
	PSID owner = nullptr;
	PACL list = nullptr;
	BOOL defaulted = FALSE, present = FALSE;
	if (!GetFileSecurityW(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
			      &size) ||
	    !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
	    !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
		*error = GetLastError();
		return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? file_trust::absent
											 : file_trust::unknown;
	}
	const PSID running = running_account();
	if (owner == nullptr || !trusted(owner, running)) {
		name_account(owner, account, room);
		return file_trust::changeable;
	}
	/* No list at all lets everyone do anything. */
	if (!present || list == nullptr) {
		lstrcpynA(account, "Everyone", static_cast<int>(room));
		return file_trust::changeable;
	}
	for (DWORD index = 0; index < list->AceCount; ++index) {
		ACE_HEADER *entry = nullptr;
		if (!GetAce(list, index, reinterpret_cast<void **>(&entry))) {
			*error = GetLastError();
			return file_trust::unknown;
		}
		if ((entry->AceFlags & INHERIT_ONLY_ACE) != 0)
			continue;
		switch (entry->AceType) {
		case ACCESS_DENIED_ACE_TYPE:
		case ACCESS_DENIED_OBJECT_ACE_TYPE:
		case ACCESS_DENIED_CALLBACK_ACE_TYPE:
		case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
			continue;
		case ACCESS_ALLOWED_ACE_TYPE:
		case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
			break;
		default:
			/* An entry that allows, laid out otherwise: not read, not trusted. */
			lstrcpynA(account, "an entry of a kind that tolvane-run does not read", static_cast<int>(room));
			return file_trust::changeable;
		}
		auto *const allowing = reinterpret_cast<ACCESS_ALLOWED_ACE *>(entry);
		if ((allowing->Mask & changing_rights) != 0 && !trusted(&allowing->SidStart, running)) {
			name_account(&allowing->SidStart, account, room);
			return file_trust::changeable;
		}
	}
	return file_trust::trusted;
}
