/* The floor for tolvane's start-up cost: the same four library calls and
 * two printf calls, and nothing else. */
#include <stdio.h>

#include "zel_act_installer.h"

int main(int argc, char *argv[])
{
	if (argc != 3)
		return 0;
	zel_bool installed = zelActSvcInstallWin(argv[1], argv[2]);
	printf("%d %s %s\n", installed, argv[1], argv[2]);
	zel_status_code code = zelActSvcGetLastErrorWin();
	const char *text = zelActSvcStatusCodeToText(code);
	code = zelActSvcGetLastErrorWin();
	printf("%d: %s\n", code, text);
	return 0;
}
