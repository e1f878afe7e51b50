// What the program sends, fixed when it is built: the firmware image, a
// resource of the executable, and the request for the configuration page;
// and the two prompts of the dialog.
#ifndef FLASH_PAYLOADS_H
#define FLASH_PAYLOADS_H

#include <windows.h>

extern const BYTE *lpFirmwareFileData;
extern DWORD dwFirmwareFileSize;
extern const char *const configpage;
extern const char *const localtext;
extern const char *const nettext;

// Finds the firmware image among the resources of `module`, the program: 1
// when found, 0 with the system's last error when not (the caller tells the
// operator).
int FindDownloadableFile(HMODULE module);

#endif
