// How the dialog keeps answering while the program waits: during a send,
// in slices, and in the settle wait after a firmware send.
#ifndef FLASH_WAITS_H
#define FLASH_WAITS_H

#include <windows.h>

// A send never waits longer than this without letting the dialog answer and
// paint: Windows calls a window hung once it has not looked at its messages
// for 5 s, and offers the operator to close the program, in the middle of a
// firmware update.
const DWORD SLICE_MS = 100;
// A printer, or a print server, that takes nothing this long is gone.
const DWORD STALL_MS = 60000;

// Set while a send lets the dialog answer: the dialog then takes no command,
// whoever sends it.
extern int answeringDuringSend;

// Lets the dialog answer what other threads and programs send it, and
// repaint, the bar included. Keyboard and mouse input stays queued until the
// send is over: nothing the operator does can start a second send inside
// this one, or close the connection under it. With `answered`, also takes a
// message `posted` that was posted to the dialog, if it has come: TRUE then.
BOOL keepDialogAlive(UINT posted = 0, MSG *answered = NULL);

// Fills the dialog's bar over `seconds`, in steps of 100 ms, keeping the
// dialog painted. Every message is handled meanwhile, a close request too.
void ScrollbarWait(DWORD seconds);

// Waits `ms` in steps of 100 ms, handling every message meanwhile.
void waitHandlingMessages(DWORD ms);

#endif
