// The progress bar wrapper against a real control: what it sends, what it
// keeps, and where it puts the control.
#include "bar_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "test_support.h"

namespace {

typedef std::vector<Sent> Log;

TEST_F(BarTest, ConstructionMakesOneChildFrom0To100InBlue)
{
    char className[64] = "";
    GetClassNameA(bar->hBarWnd, className, sizeof className);
    EXPECT_STREQ("msctls_progress32", className);
    EXPECT_EQ(0, GetDlgCtrlID(bar->hBarWnd));
    EXPECT_EQ(host, GetParent(bar->hBarWnd));
    EXPECT_EQ(0, ask(PBM_GETRANGE, TRUE));
    EXPECT_EQ(100, ask(PBM_GETRANGE, FALSE));
    EXPECT_EQ((LRESULT)RGB(0, 0, 255), ask(PBM_GETBARCOLOR));
}

TEST_F(BarTest, SteppingStopsAtTheMaximum)
{
    struct {
        const char *what;
        int maximum, increment, start, steps;
        size_t stepsSent;
        int shown;   // what the control then shows; -1: not asked
    } cases[] = {
        { "200 steps of 1 fill 0..200", 200, 1, 0, 200, 200, 200 },
        { "a 201st step sends nothing", 200, 1, 0, 201, 200, 200 },
        { "3 steps of 3 in 0..10", 10, 3, 0, 3, 3, 9 },
        // A step from 9 goes past 10: the control is left to show that.
        { "a 4th step of 3 is sent from 9", 10, 3, 0, 4, 4, -1 },
        { "and a 5th sends nothing", 10, 3, 0, 5, 4, -1 },
        { "a step at the maximum sends nothing", 10, 1, 10, 1, 0, 10 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bar->setRange(0, c.maximum);
        bar->setStep(c.increment);
        bar->setPos(c.start);
        sentLog().clear();
        for (int i = 0; i < c.steps; i++)
            bar->step();
        EXPECT_EQ(Log(c.stepsSent, Sent{ PBM_STEPIT, 0, 0 }), sentLog());
        if (c.shown >= 0) {
            EXPECT_EQ(c.shown, ask(PBM_GETPOS));
        }
    }
}

TEST_F(BarTest, SetPosClampsAboveTheMaximumButNotBelowTheMinimum)
{
    struct {
        int asked, kept;
    } cases[] = { { 500, 100 }, { 101, 100 }, { 100, 100 }, { 99, 99 }, { -5, -5 } };
    for (const auto &c : cases) {
        SCOPED_TRACE("setPos(" + std::to_string(c.asked) + ")");
        bar->setRange(0, 100);
        sentLog().clear();
        bar->setPos(c.asked);
        EXPECT_EQ(Log({ { PBM_SETPOS, (WPARAM)(INT_PTR)c.kept, 0 } }), sentLog());
        if (c.kept >= 0) {
            EXPECT_EQ(c.kept, ask(PBM_GETPOS));
        }
    }
}

TEST_F(BarTest, NewRangeIsShownEmpty)
{
    bar->setPos(50);
    bar->setRange(10, 200);
    EXPECT_EQ(10, ask(PBM_GETRANGE, TRUE));
    EXPECT_EQ(200, ask(PBM_GETRANGE, FALSE));
    EXPECT_EQ(10, ask(PBM_GETPOS));
}

TEST_F(BarTest, ColoursAreSentAsRedGreenBlue)
{
    struct {
        void (CProgressBar::*set)(int, int, int);
        int red, green, blue;
        Sent sent;
        UINT readBack;
    } cases[] = {
        { &CProgressBar::setBarColor, 0, 0, 136, { PBM_SETBARCOLOR, 0, 0x880000 }, PBM_GETBARCOLOR },
        { &CProgressBar::setBarColor, 255, 128, 1, { PBM_SETBARCOLOR, 0, 0x0180FF }, PBM_GETBARCOLOR },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.sent));
        sentLog().clear();
        (bar->*c.set)(c.red, c.green, c.blue);
        EXPECT_EQ(Log({ c.sent }), sentLog());
        EXPECT_EQ(c.sent.lParam, ask(c.readBack));
    }
}

TEST_F(BarTest, ControlIsPlacedScaledForTheScreen)
{
    // At 96 dpi the bar lands where it is asked to be: the platform's part.
    // ControlIsPlacedScaledAtAnotherScreenDpi runs this case at 120 dpi.
    if (environment("FLASH_SCREEN_DPI") != "120")
        GTEST_SKIP() << "runs at 120 dpi, from ControlIsPlacedScaledAtAnotherScreenDpi";
    ASSERT_EQ(120, CProgressBar::GetScreenDPI());
    RECT placed;
    ASSERT_TRUE(GetWindowRect(bar->hBarWnd, &placed));
    MapWindowPoints(nullptr, host, (POINT *)&placed, 2);
    // The bar made at (55, 102) 350 x 20.
    EXPECT_EQ(std::vector<LONG>({ 68, 127, 437, 25 }),
              std::vector<LONG>({ placed.left, placed.top, placed.right - placed.left, placed.bottom - placed.top }));
}

// Wine reads the screen's dpi from the registry when a process starts: so
// the case above runs again in a new process of this program at 120 dpi.
TEST(ProgressBarScaling, ControlIsPlacedScaledAtAnotherScreenDpi)
{
    HKEY desktop;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0,
                                             KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &desktop, nullptr));
    DWORD before = 0, type = 0, size = sizeof before;
    bool had = RegQueryValueExA(desktop, "LogPixels", nullptr, &type, (BYTE *)&before, &size) == ERROR_SUCCESS;
    const DWORD dpi = 120;
    RegSetValueExA(desktop, "LogPixels", 0, REG_DWORD, (const BYTE *)&dpi, sizeof dpi);
    SetEnvironmentVariableA("FLASH_SCREEN_DPI", "120");

    char program[MAX_PATH] = "", folder[MAX_PATH] = "", report[MAX_PATH] = "", command[3 * MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, "dpi", 0, report);
    snprintf(command, sizeof command, "\"%s\" --gtest_filter=BarTest.ControlIsPlacedScaledForTheScreen --gtest_output=xml:%s",
             program, report);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    BOOL started = CreateProcessA(program, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child);
    DWORD exitCode = 1;
    if (started) {
        if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(child.hProcess, 1);
        GetExitCodeProcess(child.hProcess, &exitCode);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    // The screen goes back before anything here can fail.
    if (had)
        RegSetValueExA(desktop, "LogPixels", 0, type, (const BYTE *)&before, size);
    else
        RegDeleteValueA(desktop, "LogPixels");
    RegCloseKey(desktop);
    SetEnvironmentVariableA("FLASH_SCREEN_DPI", nullptr);
    std::string results = readFile(report);
    DeleteFileA(report);

    ASSERT_TRUE(started);
    EXPECT_EQ(0u, exitCode);
    EXPECT_NE(std::string::npos, results.find("tests=\"1\" failures=\"0\"")) << results;
}

}  // namespace
