// The spooler: the payload as one raw print job, and the list of printers
// the spooler knows.
#include "spooler.h"

#include <stdlib.h>
#include <winspool.h>

#include "messages.h"
#include "resource.h"

BYTE printers[16384];

enum JobStage { PRINTER_OPEN, DOC_STARTED, PAGE_STARTED, BYTES_WRITTEN };

// Undoes what the job has started, newest first, then tells the operator why
// it failed: the code of the call that failed, not one a clean-up call left.
// Once bytes may be with the spooler, ending the page or the document would
// hand part of an image to the printer: the job is deleted instead.
static int abandonJob(HANDLE printer, JobStage started)
{
    DWORD code = GetLastError();
    if (started >= BYTES_WRITTEN) {
        AbortPrinter(printer);
    } else {
        if (started >= PAGE_STARTED)
            EndPagePrinter(printer);
        if (started >= DOC_STARTED)
            EndDocPrinter(printer);
    }
    ClosePrinter(printer);
    SetLastError(code);
    displayLastError();
    return 0;
}

// Hands every byte to the spooler; a short count just means "write the rest".
static BOOL writeAll(HANDLE printer, const BYTE *data, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!WritePrinter(printer, (LPVOID)data, size, &written))
            return FALSE;
        if (written == 0 || written > size) {
            // A spooler that takes nothing would be asked for ever.
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        data += written;
        size -= written;
    }
    return TRUE;
}

int SendDataToSpooler(const char *printer, const BYTE *data, DWORD size)
{
    if (printer[0] == '\0') {
        // Some spoolers call an empty name "invalid parameter"; the operator
        // needs to hear that no printer is chosen.
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        displayLastError();
        return 0;
    }

    HANDLE handle;
    if (!OpenPrinterA((LPSTR)printer, &handle, NULL)) {
        displayLastError();
        return 0;
    }
    DOC_INFO_1A job = { (LPSTR) "Firmware Update", NULL, (LPSTR) "RAW" };
    if (!StartDocPrinterA(handle, 1, (LPBYTE)&job))
        return abandonJob(handle, PRINTER_OPEN);
    if (!StartPagePrinter(handle))
        return abandonJob(handle, DOC_STARTED);
    if (!writeAll(handle, data, size) || !EndPagePrinter(handle) || !EndDocPrinter(handle))
        return abandonJob(handle, BYTES_WRITTEN);
    ClosePrinter(handle);
    return 1;
}

// ---------------------------------------------------------------- the printer list

static void reportNoPrinters(DWORD code, DWORD needed, DWORD offered)
{
    char *systemText = systemTextFor(code);
    char text[1024];
    format_text(text,
                "Can't find any printers to update\n\n  EnumPrinters said: \n%s\n"
                "EnumPrinters needs %d bytes and we sent %d",
                systemText != NULL ? systemText : NO_SYSTEM_TEXT, (int)needed, (int)offered);
    MessageBoxA(NULL, text, "Failure!", MB_ICONINFORMATION);
    if (systemText != NULL)
        LocalFree(systemText);
}

int EnumLocalPrinters(HWND dialog)
{
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    BYTE *records = printers;
    DWORD offered = sizeof printers;
    DWORD needed = 0, count = 0;
    BOOL listed = EnumPrintersA(flags, NULL, 1, records, offered, &needed, &count);
    DWORD code = GetLastError();

    BYTE *larger = NULL;
    if (!listed && code == ERROR_INSUFFICIENT_BUFFER && needed > offered) {
        // More printers than the buffer holds: ask once more with the room
        // the spooler asked for, so that every printer is listed.
        larger = (BYTE *)malloc(needed);
        if (larger != NULL) {
            records = larger;
            offered = needed;
            listed = EnumPrintersA(flags, NULL, 1, records, offered, &needed, &count);
            code = GetLastError();
        }
    }

    if (listed) {
        const PRINTER_INFO_1A *info = (const PRINTER_INFO_1A *)records;
        for (DWORD i = 0; i < count; i++)
            SendDlgItemMessageA(dialog, IDC_PRINTER_COMBO, CB_ADDSTRING, 0, (LPARAM)info[i].pName);
    } else {
        reportNoPrinters(code, needed, offered);
    }
    free(larger);
    return listed ? 1 : 0;
}
