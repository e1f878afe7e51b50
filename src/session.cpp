#include "session.h"

#include "flash.h"

// Shown on Windows' shut-down screen beside the program's name.
static const WCHAR WHY_NOT_NOW[] =
    L"A printer firmware update is in progress. Ending the session now can damage the printer.";

static CutShort underWay;   // set while a send is guarded
static BOOL ended;

// Windows Vista and later have these; before, and wherever they fail,
// there is simply no reason on the screen.
typedef BOOL(WINAPI *BlockReasonCreate)(HWND, LPCWSTR);
typedef BOOL(WINAPI *BlockReasonDestroy)(HWND);

static FARPROC fromUser32(const char *name)
{
    return GetProcAddress(GetModuleHandleA("user32.dll"), name);
}

// Both keep the last error as it was: a send's box tells the code of the
// call that failed, not one these leave.
void guardSend(CutShort cutShort)
{
    DWORD error = GetLastError();
    underWay = cutShort;
    BlockReasonCreate create = (BlockReasonCreate)(void *)fromUser32("ShutdownBlockReasonCreate");
    if (create != NULL)
        create(hMainWnd, WHY_NOT_NOW);
    SetLastError(error);
}

void releaseSend(void)
{
    DWORD error = GetLastError();
    underWay = NULL;
    BlockReasonDestroy destroy = (BlockReasonDestroy)(void *)fromUser32("ShutdownBlockReasonDestroy");
    if (destroy != NULL)
        destroy(hMainWnd);
    SetLastError(error);
}

BOOL sessionMayEnd(void)
{
    return underWay == NULL;
}

void sessionEnds(void)
{
    // Windows ends it anyway ("Shut down anyway", a forced restart), and
    // the process with it, soon.
    if (underWay == NULL)
        return;
    ended = TRUE;
    CutShort cutShort = underWay;
    underWay = NULL;
    cutShort();
}

BOOL sessionEnded(void)
{
    return ended;
}

void stayAwake(BOOL awake)
{
    SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
