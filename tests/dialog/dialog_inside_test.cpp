// The dialog run by the test program itself, from the program's own template
// and dialog procedure: for what Wine does not let another process read.
#include <gtest/gtest.h>

#include <vector>

#include "flash.h"
#include "resource.h"
#include "test_support.h"

namespace {

std::vector<UINT> menuIds(HMENU menu)
{
    std::vector<UINT> ids;
    for (int i = 0; i < GetMenuItemCount(menu); i++)
        ids.push_back(GetMenuItemID(menu, i));
    return ids;
}

INT_PTR CALLBACK plainDialog(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// The window menu of a dialog of the program's style, trimmed as the program
// trims it: positions 0, 1, 2, each counted after the deletion before.
std::vector<UINT> trimmedWindowMenu()
{
    struct {
        DLGTEMPLATE dialog;
        WORD menu, windowClass, title;
    } form = { { 0x80C008C0 & ~DS_SETFONT, 0, 0, 0, 0, 100, 50 }, 0, 0, 0 };
    HWND reference = CreateDialogIndirectA(nullptr, &form.dialog, nullptr, plainDialog);
    HMENU menu = GetSystemMenu(reference, FALSE);
    for (int position = 0; position < 3; position++)
        DeleteMenu(menu, position, MF_BYPOSITION);
    std::vector<UINT> ids = menuIds(menu);
    DestroyWindow(reference);
    return ids;
}

struct Seen {
    std::vector<UINT> menu;
    HICON classIcon;
};

// Reads the dialog once it is up, then closes it.
DWORD WINAPI lookThenClose(void *result)
{
    Seen *seen = static_cast<Seen *>(result);
    HWND dialog = nullptr;
    for (int i = 0; i < 500 && dialog == nullptr; i++) {
        Sleep(20);
        dialog = FindWindowA("#32770", "Velmora_Firmware_Download");
    }
    if (dialog == nullptr)
        return 1;
    Sleep(200);   // the initialisation has run once the window shows
    seen->menu = menuIds(GetSystemMenu(dialog, FALSE));
    seen->classIcon = (HICON)GetClassLongPtrA(dialog, GCLP_HICON);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    return 0;
}

TEST(DialogInside, WindowMenuTrimmedAndExclamationIconForTheClass)
{
    // Wine gives a dialog without WS_SYSMENU no window menu at all, so there
    // both sides are empty and only the icon tells; Windows gives one.
    const std::vector<UINT> expectedMenu = trimmedWindowMenu();

    BoxWatcher boxes;
    Seen seen = { {}, nullptr };
    hMainInstance = GetModuleHandleA(nullptr);
    HANDLE looker = CreateThread(nullptr, 0, lookThenClose, &seen, 0, nullptr);
    INT_PTR ended = DialogBoxParamA(hMainInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogFunc, 0);
    WaitForSingleObject(looker, INFINITE);
    CloseHandle(looker);

    EXPECT_EQ(0, ended);
    EXPECT_EQ(expectedMenu, seen.menu);
    EXPECT_EQ(LoadIconA(nullptr, IDI_EXCLAMATION), seen.classIcon);
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

}  // namespace
