#include "settle.h"

#include "progressbar.h"

// Sleeps 100 ms, then handles whatever came meanwhile.
static void sleepATick(void)
{
    Sleep(100);
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void ScrollbarWait(CProgressBar *bar, DWORD seconds)
{
    DWORD ticks = seconds * 10;
    bar->setRange(0, (int)ticks);
    bar->setStep(1);
    bar->setPos(0);
    for (DWORD i = 0; i < ticks; i++) {
        sleepATick();
        bar->step();
    }
}

void waitHandlingMessages(DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100)
        sleepATick();
}
