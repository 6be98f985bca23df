/* tolvane-run's judgement of who may change a file, on security
 * descriptors that Wine cannot give a file (it makes one from the Unix
 * mode, owned by the account that runs it):
 *   who_can_change CASES
 * Each line of the file CASES is a security descriptor in SDDL; or "hex"
 * and one in its self-relative form in hexadecimal, for what Wine's SDDL
 * cannot say; or "error" and a Windows error code.  (The account that runs
 * it owns every file under Wine: the tests of tolvane-run show that it is
 * trusted.)  Linked with
 * --wrap=GetFileSecurityW, which gives that descriptor, or fails with that
 * error.  For each line it
 * prints the verdict: "trusted", "absent", "unknown" and the error, or
 * "changeable by" and the account. */
#include <windows.h>

#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trusted_files.h"

static char line[4096];

extern "C" BOOL WINAPI __wrap_GetFileSecurityW(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor,
					       DWORD room, LPDWORD size)
{
	if (strncmp(line, "error ", 6) == 0) {
		SetLastError(static_cast<DWORD>(strtoul(line + 6, nullptr, 10)));
		return FALSE;
	}
	if (strncmp(line, "hex ", 4) == 0) {
		const size_t length = strlen(line + 4) / 2;
		for (size_t index = 0; index < length && index < room; ++index) {
			char digits[3] = {line[4 + 2 * index], line[5 + 2 * index], '\0'};
			static_cast<BYTE *>(descriptor)[index] = static_cast<BYTE>(strtoul(digits, nullptr, 16));
		}
		*size = static_cast<DWORD>(length);
		return TRUE;
	}
	PSECURITY_DESCRIPTOR made = nullptr;
	ULONG made_size = 0;
	if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(line, SDDL_REVISION_1, &made, &made_size) ||
	    made_size > room)
		exit(3);
	memcpy(descriptor, made, made_size);
	*size = made_size;
	return TRUE;
}

int main(int argc, char *argv[])
{
	FILE *cases = argc == 2 ? fopen(argv[1], "r") : nullptr;
	if (cases == nullptr)
		return 2;
	while (fgets(line, sizeof line - 200, cases) != nullptr) {
		line[strcspn(line, "\r\n")] = '\0';
		char account[512] = "";
		unsigned long error = 0;
		switch (who_can_change(L"C:\\Program Files\\Acme\\tolvane.exe", account, sizeof account, &error)) {
		case file_trust::trusted:
			printf("trusted\n");
			break;
		case file_trust::absent:
			printf("absent\n");
			break;
		case file_trust::unknown:
			printf("unknown %lu\n", error);
			break;
		case file_trust::changeable:
			printf("changeable by %s\n", account);
			break;
		}
	}
	fclose(cases);
	return 0;
}
