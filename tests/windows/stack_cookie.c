/* Built as tolvane.exe is, but without a load configuration, so that no
 * loader replaces its stack cookie and only the entry point's seeding can:
 *   stack_cookie          prints the cookie as main finds it, in hexadecimal
 *   stack_cookie smash    writes past a buffer on the stack and returns:
 *                         the cookie's check must end the process first */
#include <stdint.h>
#include <windows.h>

extern uintptr_t __stack_chk_guard;

/* Far past the buffer, and unknown to the compiler. */
static volatile size_t smash_length = 64;

static void put(const char *text)
{
	DWORD written = 0;
	WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

__attribute__((noinline)) static void smash(void)
{
	char buffer[16];
	volatile char *end = buffer;
	for (size_t index = 0; index < smash_length; ++index)
		end[index] = 'x';
	put("returning\n");
}

int main(void)
{
	const wchar_t *line = GetCommandLineW();
	const int length = lstrlenW(line);
	if (length >= 5 && lstrcmpW(line + length - 5, L"smash") == 0) {
		smash();
		put("returned\n");
		return 0;
	}
	char digits[] = "0123456789abcdef\n";
	for (int index = 15; index >= 0; --index)
		digits[15 - index] = "0123456789abcdef"[__stack_chk_guard >> (4 * index) & 15];
	put(digits);
	return 0;
}
