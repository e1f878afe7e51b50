// A delivery's thread, and the one place where the dialog's thread waits for
// it. The thread touches no window and shows no box; the record it shares
// with the dialog's thread is freed by whichever of the two lets go last.
#include "delivery.h"

#include "progressbar.h"
#include "session.h"

// Windows calls a window hung once it has not looked at its messages for
// 5 s, and offers the operator to close the program, in the middle of a
// firmware update: the dialog never waits longer than this without
// answering and painting.
static const DWORD SLICE_MS = 100;
// The bar counts to this while a delivery is under way.
static const int PROGRESS_STEPS = 1000;

static BOOL waiting;

BOOL waitingForDelivery(void)
{
    return waiting;
}

// ---------------------------------------------------------------- the record

void letGo(Delivery *delivery)
{
    if (InterlockedDecrement(&delivery->holders) == 0) {
        CloseHandle(delivery->decidedEvent);
        DeleteCriticalSection(&delivery->lock);
        delivery->destroy(delivery);
    }
}

static DWORD WINAPI runDelivery(void *parameter)
{
    Delivery *delivery = (Delivery *)parameter;
    delivery->run(delivery);
    letGo(delivery);
    return 0;
}

BOOL startDelivery(Delivery *delivery)
{
    if (delivery == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    delivery->signsOfLife = 0;
    delivery->taken = 0;
    delivery->stage = 0;
    delivery->fate = DELIVERY_WANTED;
    delivery->decided = FALSE;
    delivery->holders = 2;   // the dialog's thread and the delivery's
    InitializeCriticalSection(&delivery->lock);
    delivery->decidedEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = delivery->decidedEvent != NULL ? CreateThread(NULL, 0, runDelivery, delivery, 0, NULL) : NULL;
    if (thread == NULL) {
        DWORD error = GetLastError();
        if (delivery->decidedEvent != NULL)
            CloseHandle(delivery->decidedEvent);
        DeleteCriticalSection(&delivery->lock);
        delivery->destroy(delivery);
        SetLastError(error);
        return FALSE;
    }
    CloseHandle(thread);
    return TRUE;
}

// ---------------------------------------------------------------- the delivery's thread

void noteSignOfLife(Delivery *delivery)
{
    InterlockedIncrement(&delivery->signsOfLife);
}

void noteTaken(Delivery *delivery, DWORD bytes)
{
    InterlockedExchange(&delivery->taken, (LONG)bytes);
    InterlockedIncrement(&delivery->signsOfLife);
}

BOOL reachStage(Delivery *delivery, int stage)
{
    EnterCriticalSection(&delivery->lock);
    delivery->stage = stage;
    BOOL wanted = delivery->fate == DELIVERY_WANTED;
    LeaveCriticalSection(&delivery->lock);
    return wanted;
}

DeliveryFate deliveryFate(Delivery *delivery)
{
    EnterCriticalSection(&delivery->lock);
    DeliveryFate fate = delivery->fate;
    LeaveCriticalSection(&delivery->lock);
    return fate;
}

// Under the lock: the first outcome stands.
static void decide(Delivery *delivery, int delivered, const char *call, DWORD error, DeliveryFate fate)
{
    if (delivery->decided)
        return;
    Outcome outcome = { delivered, delivery->stage, call, error, fate };
    delivery->outcome = outcome;
    delivery->decided = TRUE;
    SetEvent(delivery->decidedEvent);
}

void decideDelivered(Delivery *delivery)
{
    EnterCriticalSection(&delivery->lock);
    decide(delivery, 1, NULL, 0, delivery->fate);
    LeaveCriticalSection(&delivery->lock);
}

void decideFailed(Delivery *delivery, const char *call, DWORD error)
{
    EnterCriticalSection(&delivery->lock);
    decide(delivery, 0, call, error, delivery->fate);
    LeaveCriticalSection(&delivery->lock);
}

// ---------------------------------------------------------------- the dialog's thread

// The dialog stops waiting before the outcome: it is decided now, together
// with how far the calls got, unless they were decided a moment ago.
static void stopWaiting(Delivery *delivery, DeliveryFate fate)
{
    EnterCriticalSection(&delivery->lock);
    if (!delivery->decided) {
        delivery->fate = fate;
        if (delivery->stop != NULL)
            delivery->stop(delivery);
        decide(delivery, 0, NULL, 0, fate);
    }
    LeaveCriticalSection(&delivery->lock);
}

void cutDeliveryShort(Delivery *delivery)
{
    stopWaiting(delivery, DELIVERY_CUT_SHORT);
}

// Sent messages and paints: what other threads and programs ask of the
// dialog, and the bar. Input stays queued: nothing the operator does can
// start a second send inside this one, or close the connection under it.
static void answerMessagesAndPaint(void)
{
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // Bounded: a window that never validates itself would keep us here.
    for (int paints = 0; paints < 64; paints++) {
        if (!PeekMessageA(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE | PM_QS_PAINT))
            break;
        DispatchMessageA(&message);
    }
}

static void discardInput(UINT first, UINT last)
{
    MSG message;
    while (PeekMessageA(&message, NULL, first, last, PM_REMOVE)) {
        if (message.message == WM_SYSKEYDOWN && message.wParam == VK_F4 && message.hwnd != NULL)
            PostMessageA(GetAncestor(message.hwnd, GA_ROOT), WM_CLOSE, 0, 0);
    }
}

static void showTaken(Delivery *delivery, CProgressBar *progress)
{
    if (progress != NULL && delivery->size > 0)
        progress->setPos((int)((unsigned long long)(DWORD)delivery->taken * PROGRESS_STEPS / delivery->size));
}

Outcome waitForDelivery(Delivery *delivery, CProgressBar *progress)
{
    waiting = TRUE;
    guardDelivery(delivery);
    if (progress != NULL)
        progress->setRange(0, PROGRESS_STEPS);
    LONG signs = -1;
    DWORD lastSignAt = GetTickCount();
    for (;;) {
        answerMessagesAndPaint();
        if (deliveryFate(delivery) == DELIVERY_CUT_SHORT)
            break;
        DWORD woke = MsgWaitForMultipleObjects(1, &delivery->decidedEvent, FALSE, SLICE_MS,
                                               QS_SENDMESSAGE | QS_PAINT);
        showTaken(delivery, progress);
        if (woke == WAIT_OBJECT_0)
            break;
        if (delivery->signsOfLife != signs) {
            signs = delivery->signsOfLife;
            lastSignAt = GetTickCount();
        } else if (GetTickCount() - lastSignAt >= STALL_MS) {
            stopWaiting(delivery, DELIVERY_GIVEN_UP);
            break;
        }
    }
    releaseDelivery();
    EnterCriticalSection(&delivery->lock);
    Outcome outcome = delivery->outcome;
    LeaveCriticalSection(&delivery->lock);
    letGo(delivery);
    if (outcome.delivered && progress != NULL)
        progress->setPos(PROGRESS_STEPS);
    discardInput(WM_KEYFIRST, WM_KEYLAST);
    discardInput(WM_MOUSEFIRST, WM_MOUSELAST);
    waiting = FALSE;
    return outcome;
}
