// Benchmark driver, run under Wine beside the updater:
//
//   send_click PROGRAM net HOST      start PROGRAM, switch to network mode,
//   send_click PROGRAM local QUEUE   or choose QUEUE, click Send Firmware
//   send_click PROGRAM idle          start PROGRAM and only let it settle
//
// It prints "click_at=<Unix seconds>" just before the click, waits for the
// settle wait to begin (Exit disabled) or, for idle, two seconds, then prints
// "peak_working_set=<bytes>" of the program and ends it.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include "resource.h"

static double unixNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // 100 ns ticks since 1601; 11644473600 s separate 1601 from 1970.
    return (double)ticks.QuadPart / 1e7 - 11644473600.0;
}

static HWND waitForWindow(const char *caption, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    HWND found;
    while ((found = FindWindowA(NULL, caption)) == NULL || !IsWindowVisible(found)) {
        if (GetTickCount() - start > timeoutMs)
            return NULL;
        Sleep(20);
    }
    return found;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: send_click PROGRAM net HOST | local QUEUE | idle\n");
        return 2;
    }
    char commandLine[MAX_PATH + 3];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", argv[1]);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program)) {
        fprintf(stderr, "cannot start %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }

    int status = 0;
    const char *caption = strcmp(argv[2], "idle") == 0 && argc > 3 ? argv[3] : "Velmora_Firmware_Download";
    HWND dialog = waitForWindow(caption, 30000);
    if (dialog == NULL) {
        fprintf(stderr, "no window \"%s\"\n", caption);
        status = 1;
    } else if (strcmp(argv[2], "idle") == 0) {
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
        printf("click_at=%.6f\n", unixNow());
        fflush(stdout);
        PostMessageA(GetDlgItem(dialog, IDC_SEND_FIRMWARE), BM_CLICK, 0, 0);
        // The settle wait starts once the send has returned.
        DWORD start = GetTickCount();
        while (IsWindowEnabled(exitButton) && GetTickCount() - start < 60000)
            Sleep(5);
        if (IsWindowEnabled(exitButton)) {
            fprintf(stderr, "the send did not finish\n");
            status = 1;
        }
    }

    PROCESS_MEMORY_COUNTERS memory;
    memset(&memory, 0, sizeof memory);
    if (GetProcessMemoryInfo(program.hProcess, &memory, sizeof memory))
        printf("peak_working_set=%lu\n", (unsigned long)memory.PeakWorkingSetSize);
    TerminateProcess(program.hProcess, 0);
    WaitForSingleObject(program.hProcess, 10000);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    return status;
}
