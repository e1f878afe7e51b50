// Nothing on the computer may cut a delivery short: while one is under way
// the session does not end, and from Send Firmware until the settle wait is
// over the computer does not fall asleep by itself.
#ifndef FLASH_SESSION_H
#define FLASH_SESSION_H

#include <windows.h>

struct Delivery;

// The window that answers for the program when the session ends: Windows'
// shut-down screen names it with the reason why not now.
void answerForSession(HWND window);

// While a delivery is guarded, the session may not end; if it ends all the
// same, the delivery is cut short.
void guardDelivery(Delivery *delivery);
void releaseDelivery(void);

// The dialog's answers to Windows: may the session end now (WM_QUERYENDSESSION);
// it ends (WM_ENDSESSION with TRUE).
BOOL sessionMayEnd(void);
void sessionEnds(void);

// Asks the system not to fall asleep by itself (TRUE), and lets it again
// (FALSE). A person who puts the computer to sleep is not stopped.
void stayAwake(BOOL awake);

#endif
