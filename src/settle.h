// The settle wait after a firmware send, and the wait that keeps the face on
// screen before a held close request ends the dialog.
#ifndef FLASH_SETTLE_H
#define FLASH_SETTLE_H

#include <windows.h>

class CProgressBar;

// Fills `bar` over `seconds`, in steps of 100 ms, keeping the dialog
// painted. Every message is handled meanwhile, a close request too.
void ScrollbarWait(CProgressBar *bar, DWORD seconds);

// Waits `ms` in steps of 100 ms, handling every message meanwhile.
void waitHandlingMessages(DWORD ms);

#endif
