#include "payloads.h"

#include "resource.h"

const BYTE *lpFirmwareFileData;
DWORD dwFirmwareFileSize;
// Makes the printer print its configuration page: 49 bytes, one bare LF.
const char *const configpage = "\x1b%-12345X@PJL DEFAULT TESTPAGE=SELFTEST\n\x1b%-12345X";
const char *const localtext = "Select Printer to Update:";
const char *const nettext = "Enter network printer name or IP address:";

int FindDownloadableFile(HMODULE module)
{
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDR_FIRMWARE), "FILE");
    if (found == NULL)
        return 0;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == NULL)
        return 0;
    lpFirmwareFileData = (const BYTE *)LockResource(loaded);
    if (lpFirmwareFileData == NULL)
        return 0;
    dwFirmwareFileSize = SizeofResource(module, found);
    return 1;
}
