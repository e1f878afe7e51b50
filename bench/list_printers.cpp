// The spooler's own listing time: loading the spooler's library and asking
// it for the level-1 list of local and connected printers, as the updater
// does at start-up (its first buffer of 16,384 bytes, then once more with
// the size the spooler asks for).
//
//   list_printers     prints load_at, list_at, end_at and printers=COUNT
//
// The library is loaded here rather than imported: under Wine loading it is
// where the spooler first asks CUPS for its queues, and that is part of what
// any program that lists printers pays.
#include <stdlib.h>

#include "bench.h"

typedef BOOL(WINAPI *EnumPrintersFunc)(DWORD, LPSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

int main()
{
    static BYTE first[16384];
    const DWORD flags = 2 /* PRINTER_ENUM_LOCAL */ | 4 /* PRINTER_ENUM_CONNECTIONS */;
    DWORD needed = 0, count = 0;

    settleAfterStart();
    Stamps stamps;
    stamps.mark("load");
    HMODULE spooler = LoadLibraryA("winspool.drv");
    EnumPrintersFunc enumPrinters =
        spooler != NULL ? (EnumPrintersFunc)(void *)GetProcAddress(spooler, "EnumPrintersA") : NULL;
    if (enumPrinters == NULL) {
        fprintf(stderr, "no EnumPrintersA: error %lu\n", GetLastError());
        return 1;
    }
    stamps.mark("list");
    BOOL listed = enumPrinters(flags, NULL, 1, first, sizeof first, &needed, &count);
    BYTE *larger = NULL;
    if (!listed && GetLastError() == ERROR_INSUFFICIENT_BUFFER && (larger = (BYTE *)malloc(needed)) != NULL)
        listed = enumPrinters(flags, NULL, 1, larger, needed, &needed, &count);
    stamps.mark("end");
    free(larger);
    FreeLibrary(spooler);
    if (!listed) {
        fprintf(stderr, "EnumPrintersA failed: error %lu\n", GetLastError());
        return 1;
    }
    stamps.print();
    printf("printers=%lu\n", count);
    return 0;
}
