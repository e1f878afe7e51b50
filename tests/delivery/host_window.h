// The main dialog as a network send sees it: a window with a host box
// (IDC_HOST_EDIT), the program's hMainWnd while it lives.
#ifndef FLASH_TESTS_HOST_WINDOW_H
#define FLASH_TESTS_HOST_WINDOW_H

#include <windows.h>

#include <string>

#include "flash.h"
#include "resource.h"

class HostWindow {
public:
    HostWindow()
    {
        hMainWnd = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        hostBox_ = CreateWindowA("EDIT", "", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 90, 20, hMainWnd,
                                 (HMENU)(INT_PTR)IDC_HOST_EDIT, nullptr, nullptr);
    }
    ~HostWindow()
    {
        DestroyWindow(hMainWnd);
        hMainWnd = nullptr;
    }
    HostWindow(const HostWindow &) = delete;
    HostWindow &operator=(const HostWindow &) = delete;

    bool made() const { return hMainWnd != nullptr && hostBox_ != nullptr; }
    HWND window() const { return hMainWnd; }
    void type(const std::string &host) const { SetWindowTextA(hostBox_, host.c_str()); }

private:
    HWND hostBox_;
};

#endif
