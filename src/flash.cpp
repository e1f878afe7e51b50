// Velmora firmware updater: one modal dialog that sends the firmware image
// built into this executable to one printer, through the print spooler or
// straight to the printer's TCP port 9100. This is the dialog and its
// commands; each send, the waits and the boxes have files of their own.
#include "flash.h"

#include <winsock.h>

#include <stdlib.h>
#include <string.h>

#include "delivery.h"
#include "messages.h"
#include "network.h"
#include "payloads.h"
#include "progressbar.h"
#include "resource.h"
#include "session.h"
#include "settle.h"
#include "spooler.h"

static const DWORD SETTLE_SECONDS = 20;
// Asked to close during a firmware send, the dialog shows the face this long
// before it ends, so that the operator sees how the send ended.
static const DWORD FACE_SHOWN_MS = 3000;

HINSTANCE hMainInstance;
HWND hMainWnd;
CProgressBar *p_progressBar;
HBITMAP hFaceSmile;
HWND hExitButton, hSendButton, hConfigButton;
HWND hComboBox, hComboText, hHostBox, hHostText;
int directnet;
int sent_fw_update;

int SendDataTo(const char *printer, const BYTE *data, DWORD size, CProgressBar *progress)
{
    if (directnet) {
        // At most 254 characters of a host name and the terminator.
        char host[256] = "";
        SendMessageA(hHostBox, WM_GETTEXT, 255, (LPARAM)host);
        return SendDataToNetHost(host, data, size, progress);
    }
    return SendDataToSpooler(printer, data, size, progress);
}

static void initDialog(HWND dialog)
{
    hMainWnd = dialog;
    answerForSession(dialog);

    WSADATA sockets;
    int started = WSAStartup(0x0001, &sockets);
    if (started != 0) {
        char text[256];
        format_text(text, "WSAError: %s: %d", "WSAStartup", started);
        MessageBoxA(NULL, text, "Error", MB_OK);
        exit(1);
    }
    loadNetworkLibraries();

    p_progressBar = new CProgressBar(dialog, hMainInstance, 55, 102, 350, 20);
    p_progressBar->setBarColor(0, 0, 136);

    // Trim the window menu; each position counts on the menu as the
    // deletion before it left it.
    HMENU windowMenu = GetSystemMenu(dialog, FALSE);
    DeleteMenu(windowMenu, 0, MF_BYPOSITION);
    DeleteMenu(windowMenu, 1, MF_BYPOSITION);
    DeleteMenu(windowMenu, 2, MF_BYPOSITION);

    SetClassLongPtrA(dialog, GCLP_HICON, (LONG_PTR)LoadIconA(NULL, (LPCSTR)IDI_EXCLAMATION));
    hFaceSmile = LoadBitmapA(hMainInstance, MAKEINTRESOURCEA(IDB_FACE_SMILE));

    hExitButton = GetDlgItem(dialog, IDC_EXIT);
    hSendButton = GetDlgItem(dialog, IDC_SEND_FIRMWARE);
    hConfigButton = GetDlgItem(dialog, IDC_PRINT_CONFIG);
    EnableWindow(hConfigButton, FALSE);
    ShowWindow(hConfigButton, SW_HIDE);

    hComboBox = GetDlgItem(dialog, IDC_PRINTER_COMBO);
    hComboText = GetDlgItem(dialog, IDC_PRINTER_LABEL);
    hHostBox = GetDlgItem(dialog, IDC_HOST_EDIT);
    hHostText = GetDlgItem(dialog, IDC_HOST_LABEL);
    SendDlgItemMessageA(dialog, IDC_PRINTER_LABEL, WM_SETTEXT, 0, (LPARAM)localtext);
    SendDlgItemMessageA(dialog, IDC_HOST_LABEL, WM_SETTEXT, 0, (LPARAM)nettext);
    ShowWindow(hHostBox, SW_HIDE);
    ShowWindow(hHostText, SW_HIDE);

    if (!FindDownloadableFile(hMainInstance))
        displayLastError();
    EnumLocalPrinters(dialog);
}

static void readChosenPrinter(HWND dialog, char (&name)[256])
{
    name[0] = '\0';
    SendDlgItemMessageA(dialog, IDC_PRINTER_COMBO, WM_GETTEXT, sizeof name, (LPARAM)name);
}

static void onExit(HWND dialog)
{
    WSACleanup();
    DestroyWindow(dialog);
}

// Send Firmware and Print Config, and a close request that comes while one
// of them, the settle wait included, is under way: it waits until the
// operator has seen how the send ended (the box, or the face), or the dialog
// would vanish in the middle.
static int sendsUnderWay, closeRequested;

static void requestClose(HWND dialog)
{
    if (sendsUnderWay > 0)
        closeRequested = 1;
    else
        EndDialog(dialog, 0);
}

static void runSend(HWND dialog, void (*command)(HWND))
{
    sendsUnderWay++;
    command(dialog);
    sendsUnderWay--;
    if (sendsUnderWay == 0 && closeRequested)
        EndDialog(dialog, 0);
}

static void onSendFirmware(HWND dialog)
{
    if (lpFirmwareFileData == NULL || dwFirmwareFileSize == 0) {
        // Sending nothing and then smiling would tell the operator the
        // printer was updated when it was not.
        MessageBoxA(NULL, "No firmware image in this program: nothing was sent", "Error", MB_OK);
        return;
    }
    char printer[256];
    readChosenPrinter(dialog, printer);
    // Until the printer has had its settle time, the computer stays awake.
    stayAwake(TRUE);
    if (SendDataTo(printer, lpFirmwareFileData, dwFirmwareFileSize, p_progressBar)) {
        EnableWindow(hSendButton, FALSE);
        EnableWindow(hConfigButton, FALSE);
        EnableWindow(hExitButton, FALSE);
        ScrollbarWait(p_progressBar, SETTLE_SECONDS);
        SendDlgItemMessageA(dialog, IDC_FACE, STM_SETIMAGE, IMAGE_BITMAP, (LPARAM)hFaceSmile);
        sent_fw_update = 1;
        EnableWindow(hExitButton, TRUE);
        EnableWindow(hConfigButton, TRUE);
        if (closeRequested)
            waitHandlingMessages(FACE_SHOWN_MS);
    }
    stayAwake(FALSE);
}

static void onPrintConfig(HWND dialog)
{
    char printer[256];
    readChosenPrinter(dialog, printer);
    EnableWindow(hSendButton, FALSE);
    EnableWindow(hConfigButton, FALSE);
    EnableWindow(hExitButton, FALSE);
    if (SendDataTo(printer, (const BYTE *)configpage, (DWORD)strlen(configpage)))
        displayMsg1("Sent Configuration Page");
    if (!sent_fw_update)
        EnableWindow(hSendButton, TRUE);
    EnableWindow(hConfigButton, TRUE);
    EnableWindow(hExitButton, TRUE);
}

static void onNet(void)
{
    if (directnet == 0) {
        ShowWindow(hComboBox, SW_HIDE);
        ShowWindow(hComboText, SW_HIDE);
        ShowWindow(hHostBox, SW_SHOW);
        ShowWindow(hHostText, SW_SHOW);
        directnet = 1;
    } else {
        ShowWindow(hHostBox, SW_HIDE);
        ShowWindow(hHostText, SW_HIDE);
        ShowWindow(hComboBox, SW_SHOW);
        ShowWindow(hComboText, SW_SHOW);
        directnet = 0;
    }
}

INT_PTR CALLBACK DialogFunc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        initDialog(dialog);
        return 1;
    case WM_COMMAND:
        // Sent by another program while a delivery runs: not taken.
        if (waitingForDelivery())
            return 0;
        switch (LOWORD(wParam)) {
        case IDC_EXIT:          onExit(dialog); break;
        case IDC_SEND_FIRMWARE: runSend(dialog, onSendFirmware); break;
        case IDC_PRINT_CONFIG:  runSend(dialog, onPrintConfig); break;
        case IDC_NET:           onNet(); break;
        }
        return 0;
    case WM_CLOSE:
        requestClose(dialog);
        return 1;
    case WM_DESTROY:
        EndDialog(dialog, 0);
        return 1;
    case WM_QUERYENDSESSION:
        // No while a send is under way; Windows' shut-down screen says why.
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, sessionMayEnd());
        return 1;
    case WM_ENDSESSION:
        // Ending: a delivery under way is cut short at once. Windows ends the
        // process soon; where it does not (another program sent this, or
        // the Restart Manager expects the program to close itself), the
        // dialog closes as for a close request.
        if (wParam) {
            sessionEnds();
            requestClose(dialog);
        }
        return 0;
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)previous;
    (void)commandLine;
    (void)show;
    hMainInstance = instance;
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, DialogFunc, 0) == -1) {
        // No dialog (a missing or damaged template): without this box the
        // program would end having shown nothing at all.
        displayLastError();
        return 1;
    }
    return 0;
}
