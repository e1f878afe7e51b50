// Nothing on the computer may cut a send short: while a connection or a
// print job is open, the session does not end; from Send Firmware until the
// settle wait is over, the computer does not sleep.
#ifndef FLASH_SESSION_H
#define FLASH_SESSION_H

#include <windows.h>

// Ends an open connection or job at once, so that the printer cannot take
// half an image for a whole one. Called on the dialog's thread.
typedef void (*CutShort)(void);

// From the moment a connection or a job is open until it is closed, the
// dialog refuses to let the session end, and Windows' shut-down screen says
// why. If the session ends all the same, `cutShort` is called.
void guardSend(CutShort cutShort);
void releaseSend(void);

// The dialog's answers to Windows: may the session end now; it ends.
BOOL sessionMayEnd(void);
void sessionEnds(void);
// TRUE once the session has ended under a send: the send then stops where it
// is and says nothing more; the process is about to be ended.
BOOL sessionEnded(void);

// Asks the system not to sleep (TRUE), and lets it again (FALSE).
void stayAwake(BOOL awake);

#endif
