/* Runs a program and prints its peak resident memory in KiB.  Linux keeps
 * the high-water mark across exec, so the measuring parent must itself be
 * smaller than what it measures: hence this instead of the test's Python.
 * Address randomisation moves the peak by dozens of pages from run to run,
 * so the program runs without it. */
#define _DEFAULT_SOURCE /* wait4 */
#include <stdio.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc < 2)
		return 2;
	pid_t child = fork();
	if (child == 0) {
		personality(ADDR_NO_RANDOMIZE);
		execv(argv[1], argv + 1);
		_exit(127);
	}
	int status;
	struct rusage usage;
	if (child < 0 || wait4(child, &status, 0, &usage) != child || status != 0)
		return 1;
	printf("%ld\n", usage.ru_maxrss);
	return 0;
}
