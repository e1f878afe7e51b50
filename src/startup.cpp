// What runs before anything else in the program: the search for libraries
// is kept to the system folder, and then the stack guard gets its value.
// Both happen in a constructor that runs before every other, because code
// that runs earlier could load a library from the program's own folder,
// which Windows searches first.
#include <windows.h>

#include <stdint.h>

#include "libraries.h"

extern "C" {

// The value that -fstack-protector puts below each protected frame and
// checks before the function returns. It is seeded once, below, before any
// protected frame exists: a frame made before a change would fail its check.
uintptr_t __stack_chk_guard = (uintptr_t)0xBB40E64Eu;

// A frame's guard was overwritten: nothing in this process can be trusted
// to say so any more, so it ends at once.
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), 0xC0000409 /* STATUS_STACK_BUFFER_OVERRUN */);
    for (;;) {
    }
}
}

// The way Windows' own compilers seed their guard without a crypto
// provider: the time, the process and thread ids, the tick count and the
// performance counter, none of which an attacker outside the process knows
// to the tick.
static uintptr_t unpredictableValue(void)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uintptr_t value = now.dwLowDateTime ^ now.dwHighDateTime;
    value ^= GetCurrentProcessId() ^ GetCurrentThreadId() ^ GetTickCount();
    value ^= counter.LowPart ^ (uintptr_t)counter.HighPart;
#if UINTPTR_MAX > 0xFFFFFFFFu
    value ^= (uintptr_t)counter.QuadPart << 32;
#endif
    return value != 0 ? value : (uintptr_t)0xBB40E64Eu;
}

__attribute__((constructor(101), no_stack_protector)) static void beforeEverything(void)
{
    searchSystemFolderOnly();
    __stack_chk_guard = unpredictableValue();
}
