#include "waits.h"

#include "flash.h"
#include "progressbar.h"

int answeringDuringSend;

BOOL keepDialogAlive(UINT posted, MSG *answered)
{
    answeringDuringSend = 1;
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // Bounded: a window that never validates itself would keep us here.
    for (int paints = 0; paints < 64; paints++) {
        if (!PeekMessageA(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT))
            break;
        DispatchMessageA(&message);
    }
    // Any look at the queue answers sent messages, so this one is made here too.
    BOOL taken = answered != NULL && PeekMessageA(answered, hMainWnd, posted, posted, PM_REMOVE);
    answeringDuringSend = 0;
    return taken;
}

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

void ScrollbarWait(DWORD seconds)
{
    DWORD ticks = seconds * 10;
    p_progressBar->setRange(0, (int)ticks);
    p_progressBar->setStep(1);
    p_progressBar->setPos(0);
    for (DWORD i = 0; i < ticks; i++) {
        sleepATick();
        p_progressBar->step();
    }
}

void waitHandlingMessages(DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 100)
        sleepATick();
}
