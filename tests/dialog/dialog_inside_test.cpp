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

// What the operator keeps of the standard window menu (Restore, Move, Size,
// Minimize, Maximize, a separator, Close) once the items at positions 0, 1
// and 2 are deleted, each counted after the deletion before.
const std::vector<UINT> TRIMMED = { SC_MOVE, SC_MINIMIZE, 0, SC_CLOSE };
const UINT SC_ABOUT_WINE = SC_SCREENSAVE + 1;

struct Seen {
    std::vector<UINT> menu;
    HICON classIcon;
};

// Reads the dialog once its initialisation is over, then closes it. It is
// shown only after that, and it answers us only between messages.
DWORD WINAPI lookThenClose(void *result)
{
    Seen *seen = static_cast<Seen *>(result);
    HWND dialog = nullptr;
    auto shown = [&] {
        dialog = FindWindowA("#32770", "Velmora_Firmware_Download");
        return dialog != nullptr && IsWindowVisible(dialog);
    };
    DWORD_PTR ignored = 0;
    if (!waitUntil(shown, 10000) || !SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored))
        return 1;
    seen->menu = menuIds(GetSystemMenu(dialog, FALSE));
    seen->classIcon = (HICON)GetClassLongPtrA(dialog, GCLP_HICON);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    return 0;
}

// Runs the program's dialog procedure on its template, with `addedStyle`.
Seen runDialog(DWORD addedStyle)
{
    HRSRC found = FindResourceA(hMainInstance, MAKEINTRESOURCEA(IDD_MAIN), (LPCSTR)RT_DIALOG);
    const BYTE *stored = (const BYTE *)LockResource(LoadResource(hMainInstance, found));
    std::vector<DWORD> copy((SizeofResource(hMainInstance, found) + 3) / 4);
    memcpy(copy.data(), stored, SizeofResource(hMainInstance, found));
    ((DLGTEMPLATE *)copy.data())->style |= addedStyle;

    Seen seen = { {}, nullptr };
    HANDLE looker = CreateThread(nullptr, 0, lookThenClose, &seen, 0, nullptr);
    INT_PTR ended = DialogBoxIndirectParamA(hMainInstance, (DLGTEMPLATE *)copy.data(), nullptr, DialogFunc, 0);
    DWORD lookerResult = 1;
    WaitForSingleObject(looker, INFINITE);
    GetExitCodeThread(looker, &lookerResult);
    CloseHandle(looker);
    EXPECT_EQ(0, ended);
    EXPECT_EQ(0u, lookerResult) << "the dialog was not seen, or did not answer";
    return seen;
}

TEST(DialogInside, WindowMenuTrimmedAndExclamationIconForTheClass)
{
    BoxWatcher boxes;
    hMainInstance = GetModuleHandleA(nullptr);

    Seen seen = runDialog(0);
    EXPECT_EQ(LoadIconA(nullptr, IDI_EXCLAMATION), seen.classIcon);
    if (underWine()) {
        // todo_wine: Wine gives a dialog without WS_SYSMENU, as this one is,
        // no window menu at all, where Windows gives it one.
        EXPECT_TRUE(seen.menu.empty());
        printf("todo_wine: no window menu for the dialog as it is; checked with WS_SYSMENU added\n");
    } else {
        EXPECT_EQ(TRIMMED, seen.menu);
    }

    // With WS_SYSMENU Wine makes one too, so the trimming shows here. Wine's
    // ends with a separator and an item of its own, "About Wine".
    std::vector<UINT> expected = TRIMMED;
    if (underWine())
        expected.insert(expected.end(), { 0, SC_ABOUT_WINE });
    EXPECT_EQ(expected, runDialog(WS_SYSMENU).menu);
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

}  // namespace
