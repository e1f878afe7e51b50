// The smallest dialog program built like the updater: the baseline for the
// updater's memory use.
#include <windows.h>

static INT_PTR CALLBACK EmptyDialogFunc(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_CLOSE) {
        EndDialog(dialog, 0);
        return 1;
    }
    return message == WM_INITDIALOG;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    DialogBoxParamA(instance, MAKEINTRESOURCEA(1), NULL, EmptyDialogFunc, 0);
    return 0;
}
