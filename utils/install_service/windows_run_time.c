/*
 * What a C run-time gives the code that the compiler hardens, for images
 * without one: the stack cookie with its check's failure, and the Control
 * Flow Guard's function pointers.  The load configuration names all three.
 */
#include <stdint.h>
#include <windows.h>

#include "run_time.h"

/* The default that Microsoft's C run-time gives a 64-bit image's cookie,
 * which Windows replaces with a random value at load time.  Its top 16
 * bits stay 0 in every cookie, so that a string copy cannot write a whole
 * one. */
#define DEFAULT_COOKIE ((uintptr_t)0x00002B992DDFA232ull)
#define COOKIE_BITS ((uintptr_t)0x0000FFFFFFFFFFFFull)

uintptr_t __stack_chk_guard = DEFAULT_COOKIE;

/* As a C run-time seeds the cookie where the loader has not (Windows
 * before 8 may not read a load configuration of this size): from the
 * time, the thread and process, the performance counter and an address on
 * the stack.  Not itself checked, since it changes the cookie. */
__attribute__((no_stack_protector)) void seed_stack_cookie(void)
{
	if (__stack_chk_guard != DEFAULT_COOKIE)
		return;
	FILETIME now;
	LARGE_INTEGER counter;
	GetSystemTimeAsFileTime(&now);
	QueryPerformanceCounter(&counter);
	uintptr_t cookie = (uintptr_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
	cookie ^= GetCurrentThreadId();
	cookie ^= GetCurrentProcessId();
	cookie ^= (uintptr_t)counter.LowPart << 32 ^ (uintptr_t)counter.QuadPart;
	cookie ^= (uintptr_t)&cookie;
	cookie &= COOKIE_BITS;
	__stack_chk_guard = cookie == DEFAULT_COOKIE ? cookie + 1 : cookie;
}

/* A smashed stack: the process ends at once with STATUS_STACK_BUFFER_OVERRUN
 * (0xC0000409), never returning into the smashed frame, and runs none of
 * its own code on the way: no exception handler or filter, no library's
 * clean-up at process detach.  From Windows 8 on with a fast fail
 * (FAST_FAIL_STACK_COOKIE_CHECK_FAILURE), which Windows Error Reporting
 * and a debugger still see.  Earlier Windows treats that instruction as an
 * access violation, which every vectored handler and the unhandled-exception
 * filter would see on the smashed stack: there TerminateProcess ends the
 * process with the same status, running no code of the process. */
__attribute__((noreturn, no_stack_protector)) void __stack_chk_fail(void)
{
	if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
		__asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
	const HANDLE this_process = GetCurrentProcess();
	TerminateProcess(this_process, STATUS_STACK_BUFFER_OVERRUN);
	/* TerminateProcess only begins the end. */
	WaitForSingleObject(this_process, INFINITE);
	__builtin_unreachable();
}

/* Where Windows does not enforce the guard, an indirect call goes through
 * these defaults: no check, and a jump to the target, which clang passes in
 * rax.  The jump is not a function of C, so that it is no valid call
 * target itself. */
static void no_check(void)
{
}
__asm__(".text\n"
	".p2align 4\n"
	"call_target_unchecked:\n"
	"\tjmp *%rax\n");
extern const char call_target_unchecked[];

void *const __guard_check_icall_fptr = (void *)no_check;
void *const __guard_dispatch_icall_fptr = (void *)call_target_unchecked;
