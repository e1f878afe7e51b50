// Benchmark driver, run under Wine beside the updater:
//
//   send_click PROGRAM net HOST      start PROGRAM, switch to network mode,
//   send_click PROGRAM local QUEUE   or choose QUEUE, click Send Firmware
//   send_click PROGRAM idle [CAPTION]            start PROGRAM, let it settle
//   send_click PROGRAM startup CAPTION [COUNT]   time PROGRAM's start-up
//
// A send leaves the program a second to settle, prints "click_at=<Unix
// seconds>" just before the click and waits for the settle wait to begin
// (Exit disabled); idle waits two seconds. Both then print
// "peak_working_set=<bytes>" of the program. Start-up prints
// "startup_seconds=<s>": from just before the process is created until the
// window CAPTION is visible and, with COUNT, its printer list holds COUNT
// names. The program is ended afterwards.
#include <windows.h>
#include <psapi.h>
#include <stdlib.h>
#include <string.h>

#include "bench.h"

static const char *const PROGRAM_CAPTION = "Velmora_Firmware_Download";

// The list's item count, or -1 when the window has none or does not answer.
static LRESULT listCount(HWND dialog)
{
    DWORD_PTR count = 0;
    HWND list = GetDlgItem(dialog, IDC_PRINTER_COMBO);
    if (list == NULL || !SendMessageTimeoutA(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 1000, &count))
        return -1;
    return (LRESULT)count;
}

// Waits for the window to be visible and, with wantedCount >= 0, for its
// printer list to hold that many names. Looks every 2 ms: a start-up is
// timed by this wait.
static HWND waitForWindow(const char *caption, LRESULT wantedCount, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    HWND found;
    while ((found = FindWindowA(NULL, caption)) == NULL || !IsWindowVisible(found) ||
           (wantedCount >= 0 && listCount(found) != wantedCount)) {
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(2);
    }
    return found;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: send_click PROGRAM net HOST | local QUEUE | idle [CAPTION] | startup CAPTION [COUNT]\n");
        return 2;
    }
    char commandLine[MAX_PATH + 3];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", argv[1]);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program;
    double startAt = unixNow();
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program)) {
        fprintf(stderr, "cannot start %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }

    int status = 0;
    bool timingStartup = strcmp(argv[2], "startup") == 0;
    bool idle = strcmp(argv[2], "idle") == 0;
    const char *caption = (timingStartup || idle) && argc > 3 ? argv[3] : PROGRAM_CAPTION;
    LRESULT wantedCount = timingStartup && argc > 4 ? atoi(argv[4]) : -1;
    HWND dialog = waitForWindow(caption, wantedCount, 30000);
    if (dialog == NULL) {
        fprintf(stderr, "no window \"%s\" with %d printers listed\n", caption, (int)wantedCount);
        status = 1;
    } else if (timingStartup) {
        printf("startup_seconds=%.6f\n", unixNow() - startAt);
    } else if (idle) {
        Sleep(2000);
    } else {
        const char *target = argc > 3 ? argv[3] : "";
        if (strcmp(argv[2], "net") == 0) {
            SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_NET, BN_CLICKED), 0);
            SendDlgItemMessageA(dialog, IDC_HOST_EDIT, WM_SETTEXT, 0, (LPARAM)target);
        } else {
            SendDlgItemMessageA(dialog, IDC_PRINTER_COMBO, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)target);
        }
        HWND exitButton = GetDlgItem(dialog, IDC_EXIT);
        settleAfterStart();
        printf("click_at=%.6f\n", unixNow());
        fflush(stdout);
        PostMessageA(GetDlgItem(dialog, IDC_SEND_FIRMWARE), BM_CLICK, 0, 0);
        // The settle wait starts once the send has returned. Looking seldom
        // keeps this process out of the wine server's way during the send.
        DWORD start = GetTickCount();
        while (IsWindowEnabled(exitButton) && GetTickCount() - start < 60000)
            Sleep(50);
        if (IsWindowEnabled(exitButton)) {
            fprintf(stderr, "the send did not finish\n");
            status = 1;
        }
    }

    PROCESS_MEMORY_COUNTERS memory;
    memset(&memory, 0, sizeof memory);
    if (!timingStartup && GetProcessMemoryInfo(program.hProcess, &memory, sizeof memory))
        printf("peak_working_set=%lu\n", (unsigned long)memory.PeakWorkingSetSize);
    TerminateProcess(program.hProcess, 0);
    WaitForSingleObject(program.hProcess, 10000);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    return status;
}
