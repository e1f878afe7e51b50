// The firmware updater's dialog and what it holds for the whole run.
#ifndef FLASH_FLASH_H
#define FLASH_FLASH_H

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

// Sends to the printer named `printer` through the spooler, or, in network
// mode, to the host in the host box: 1 when sent, 0 when not (the operator
// has been told why). Shows on `progress`, when given, what the printer or
// its spooler has taken.
int SendDataTo(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress = NULL);

INT_PTR CALLBACK DialogFunc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
