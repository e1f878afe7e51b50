#include "spooler_helpers.h"

#include <winspool.h>

#include "resource.h"

void PrinterListWindow::SetUp()
{
    window = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    // The dialog's style: a drop-down list, unsorted.
    combo = CreateWindowA("COMBOBOX", "", WS_CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 0, 0, 240, 100,
                          window, (HMENU)(INT_PTR)IDC_PRINTER_COMBO, nullptr, nullptr);
    ASSERT_NE(nullptr, combo);
}

void PrinterListWindow::TearDown()
{
    DestroyWindow(window);
}

std::vector<std::string> PrinterListWindow::listed()
{
    std::vector<std::string> names;
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        std::vector<char> name((size_t)SendMessageA(combo, CB_GETLBTEXTLEN, i, 0) + 1, '\0');
        SendMessageA(combo, CB_GETLBTEXT, i, (LPARAM)name.data());
        names.push_back(name.data());
    }
    return names;
}
