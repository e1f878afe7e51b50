#include "session.h"

#include "delivery.h"

// Shown on Windows' shut-down screen beside the program's name.
static const WCHAR WHY_NOT_NOW[] =
    L"A printer firmware update is in progress. Ending the session now can damage the printer.";

static HWND answering;
static Delivery *guarded;

// Windows Vista and later have these; before, and wherever they fail,
// there is simply no reason on the screen.
typedef BOOL(WINAPI *BlockReasonCreate)(HWND, LPCWSTR);
typedef BOOL(WINAPI *BlockReasonDestroy)(HWND);

static FARPROC fromUser32(const char *name)
{
    return GetProcAddress(GetModuleHandleA("user32.dll"), name);
}

void answerForSession(HWND window)
{
    answering = window;
}

// Both keep the last error as it was: a box tells the code of the call that
// failed, not one these leave.
void guardDelivery(Delivery *delivery)
{
    DWORD error = GetLastError();
    guarded = delivery;
    BlockReasonCreate create = (BlockReasonCreate)(void *)fromUser32("ShutdownBlockReasonCreate");
    if (create != NULL && answering != NULL)
        create(answering, WHY_NOT_NOW);
    SetLastError(error);
}

void releaseDelivery(void)
{
    DWORD error = GetLastError();
    guarded = NULL;
    BlockReasonDestroy destroy = (BlockReasonDestroy)(void *)fromUser32("ShutdownBlockReasonDestroy");
    if (destroy != NULL && answering != NULL)
        destroy(answering);
    SetLastError(error);
}

BOOL sessionMayEnd(void)
{
    return guarded == NULL;
}

void sessionEnds(void)
{
    // Windows ends it anyway ("Shut down anyway", a forced restart), and
    // the process with it, soon: the delivery must end now, before this
    // message is answered.
    if (guarded != NULL)
        cutDeliveryShort(guarded);
}

void stayAwake(BOOL awake)
{
    SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
