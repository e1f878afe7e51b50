// A real progress bar in a real, visible window, and a log of what reaches
// the bar (its PBM_ messages) and the window (posted WM_APP messages, a
// wanted WM_PAINT), in the order they arrive.
#ifndef FLASH_TESTS_BAR_FIXTURE_H
#define FLASH_TESTS_BAR_FIXTURE_H

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <ostream>
#include <vector>

#include "progressbar.h"

struct Sent {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Sent &o) const
    {
        return message == o.message && wParam == o.wParam && lParam == o.lParam;
    }
};
std::ostream &operator<<(std::ostream &out, const Sent &sent);

// Everything logged since the test began; tests may add their own entries.
std::vector<Sent> &sentLog();
// When each PBM_STEPIT reached the bar (GetTickCount).
std::vector<DWORD> &stepTimes();
// The next WM_PAINT of the host window goes into the log.
void logNextPaint();

class BarTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Asks the bar without logging the question.
    LRESULT ask(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    HINSTANCE instance = nullptr;
    HWND host = nullptr;
    CProgressBar *bar = nullptr;   // made at (55, 102) 350 x 20
};

#endif
