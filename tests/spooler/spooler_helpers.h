// What the spooler tests share: a window with the printer list, and the
// spooler's own view of the printers.
#ifndef FLASH_TESTS_SPOOLER_HELPERS_H
#define FLASH_TESTS_SPOOLER_HELPERS_H

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"

// A window with a drop-down list (control 1004) styled like the dialog's,
// standing in for the main dialog.
class PrinterListWindow : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<std::string> listed();
    LRESULT selection() { return SendMessageA(combo, CB_GETCURSEL, 0, 0); }

    HWND window = nullptr;
    HWND combo = nullptr;
};

#endif
