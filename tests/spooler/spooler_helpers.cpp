#include "spooler_helpers.h"

#include <winspool.h>

#include "resource.h"

std::string systemText(DWORD code)
{
    char text[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x0400, text, sizeof text, nullptr);
    return text;
}

std::string errorBoxText(DWORD code)
{
    if (code == ERROR_INVALID_PRINTER_NAME)
        return "Please select printer in drop-down box";
    std::string text = systemText(code);
    return "failure with error " + std::to_string(code) + ": " +
           (text.empty() ? "(the system has no text for this code)" : text);
}

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
