/*
 * tolvane: installs a publisher's anchor service for one of its products
 * through the vendor's installer library, then reports the outcome and the
 * library's status.  The exit status is 0 on every path: deployment scripts
 * read the outcome from the output.
 */
/* Nothing of the C++ library.  What only Windows needs, the run-time
 * included, lives beside this file, behind one function each. */
#include <signal.h>

#include "command_line.h"
#include "console.h"
#include "messages.h"
#include "search_paths.h"
#include "zel_act_installer.h"

static void usage_and_pause()
{
	print_message(USAGE_LINE "\n");
	print_message("To continue the execution without prompting, redirect the output to a log file\n");
	print_message("Press any key to continue...\n");
	/* Redirected output must show the prompt before we wait, too. */
	flush_messages();
	wait_for_input();
}

int main(int argc, char *argv[])
{
	restrict_search_paths();
#ifdef SIGPIPE /* POSIX: a log reader that quits early must not kill us. */
	signal(SIGPIPE, SIG_IGN);
#endif
	const char *publisher_name = nullptr;
	const char *product_name = nullptr;
	if (command_line_names(argc, argv, &publisher_name, &product_name) != 3) {
		usage_and_pause();
		return 0;
	}
	if (publisher_name == nullptr || product_name == nullptr) {
		print_message(NAMES_REFUSED_LINE);
		return 0;
	}

	/* Once the library has begun, it finishes: a half-installed service
	 * and no outcome line would be worse than a wait. */
	ignore_interrupts();
	const bool installed = zelActSvcInstallWin(publisher_name, product_name) != 0;
	print_message(installed ? INSTALLED_LINE : NOT_INSTALLED_LINE, publisher_name, product_name);
	/* The outcome reaches a log before the library is called again, in
	 * case the library crashes or hangs there. */
	flush_messages();

	/* Both reads report the install call: the text is the first's, the
	 * printed code the second's. */
	const zel_status_code first_code = zelActSvcGetLastErrorWin();
	const char *status_text = zelActSvcStatusCodeToText(first_code);
	const zel_status_code status_code = zelActSvcGetLastErrorWin();
	print_message(installed ? "Success code %d: %s\n" : "Error code %d: %s\n", static_cast<int>(status_code),
		      status_text != nullptr ? status_text : "(null)");
	return 0;
}
