// The firmware updater's main module: payloads, deliveries, message boxes,
// the settle wait and the main dialog. Declared here so that tests can drive
// each piece on its own.
#ifndef FLASH_FLASH_H
#define FLASH_FLASH_H

#include <winsock.h>
#include <windows.h>

class CProgressBar;

// Set for the whole run by the dialog.
extern HINSTANCE hMainInstance;
extern HWND hMainWnd;
extern CProgressBar *p_progressBar;
extern HBITMAP hFaceSmile;
extern HWND hExitButton, hSendButton, hConfigButton;
extern HWND hComboBox, hComboText, hHostBox, hHostText;
extern int directnet;        // 0: spooler, 1: TCP port 9100
extern int sent_fw_update;   // 1 after the first successful firmware send

// Payloads and prompts, fixed at build time.
extern const BYTE *lpFirmwareFileData;
extern DWORD dwFirmwareFileSize;
extern const char *const configpage;
extern const char *const localtext;
extern const char *const nettext;

extern BYTE printers[16384];

// Delivery: 1 when sent, 0 when not (the operator has been told why). A
// network send shows on `progress`, when given, what the printer has taken.
int FindDownloadableFile(void);
int SendDataTo(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress = NULL);
int SendDataToSpooler(const char *printer, const BYTE *data, DWORD size);
int SendDataToNetHost(const BYTE *data, DWORD size, CProgressBar *progress = NULL);
int EnumLocalPrinters(HWND dialog);

// 1 when the host box's text may go to the resolver: a name, or an IPv4
// address written exactly as it prints back; 0 for any other form of an
// address, and for the broadcast address.
int isSafeHostText(const char *host);

// Message boxes, owner-less.
void displayMsg1(const char *message);
void displayMsg2(const char *message, const char *name);
void displayWSAError(const char *call);
void displayLastError(void);

// The text displayLastError shows for an error code and its system text
// (null when the system has none); cut to fit, always terminated.
void formatLastError(char *text, size_t size, DWORD code, const char *systemText);

void ScrollbarWait(DWORD seconds);

INT_PTR CALLBACK DialogFunc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
