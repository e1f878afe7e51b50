// The spooler's failure paths, against the stand-in winspool.drv in the
// stand-in prefix's system folder: it records every spooler call and fails
// the one it is told to.
// A hook on this thread puts each message box among the calls, so a log
// shows whether the box came before or after the clean-up.
#include <gtest/gtest.h>

#include <string.h>

#include <sstream>

#include <commctrl.h>

#include "flash.h"
#include "progressbar.h"
#include "resource.h"
#include "test_support.h"

namespace {

struct Standin {
    void (*reset)();
    void (*failAt)(const char *call, int occurrence, DWORD error);
    void (*shortWrite)(DWORD missing);
    void (*setPrinters)(const char *names);
    const char *(*calls)();
    void (*note)(const char *text);
} standin;

template <typename Function>
bool find(HMODULE dll, const char *name, Function &function)
{
    function = (Function)(void *)GetProcAddress(dll, name);
    return function != nullptr;
}

// "box <caption>", and " information" when the box shows that icon.
LRESULT CALLBACK noteBoxes(int code, WPARAM wParam, LPARAM lParam)
{
    static HWND noted;
    HWND box = (HWND)wParam;
    char kind[16] = "";
    if (code == HCBT_ACTIVATE && box != noted && GetClassNameA(box, kind, sizeof kind) && !strcmp(kind, "#32770")) {
        noted = box;
        char caption[64] = "";
        GetWindowTextA(box, caption, sizeof caption);
        std::string line = std::string("box ") + caption;
        HICON information = LoadIconA(nullptr, (LPCSTR)IDI_INFORMATION);
        for (HWND child = nullptr; (child = FindWindowExA(box, child, "Static", nullptr)) != nullptr;)
            if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                (HICON)SendMessageA(child, STM_GETICON, 0, 0) == information)
                line += " information";
        standin.note(line.c_str());
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class SpoolerStandin : public ::testing::Test {
protected:
    void SetUp() override
    {
        HMODULE dll = GetModuleHandleA("winspool.drv");
        ASSERT_NE(nullptr, dll);
        ASSERT_TRUE(find(dll, "StandinReset", standin.reset) && find(dll, "StandinFailAt", standin.failAt) &&
                    find(dll, "StandinShortWrite", standin.shortWrite) &&
                    find(dll, "StandinSetPrinters", standin.setPrinters) &&
                    find(dll, "StandinCalls", standin.calls) && find(dll, "StandinNote", standin.note))
            << "this is not the stand-in winspool.drv: does the test run in the stand-in prefix, with "
               "WINEDLLOVERRIDES=winspool.drv=n,b?";
        standin.setPrinters(nullptr);
        standin.reset();
        // The dialog's printer list: a drop-down list, unsorted.
        window = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 400, 300, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, window);
        combo = CreateWindowA("COMBOBOX", "", WS_CHILD | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 0, 0, 240, 100,
                              window, (HMENU)(INT_PTR)IDC_PRINTER_COMBO, nullptr, nullptr);
        ASSERT_NE(nullptr, combo);
        hook = SetWindowsHookExA(WH_CBT, noteBoxes, nullptr, GetCurrentThreadId());
        ASSERT_NE(nullptr, hook);
    }

    void TearDown() override
    {
        UnhookWindowsHookEx(hook);
        DestroyWindow(window);
    }

    static std::vector<std::string> calls()
    {
        std::vector<std::string> lines;
        std::istringstream all(standin.calls());
        for (std::string line; std::getline(all, line);)
            lines.push_back(line);
        return lines;
    }

    static int sendConfig(const char *printer)
    {
        return SendDataToSpooler(printer, (const BYTE *)configpage, (DWORD)strlen(configpage));
    }

    std::vector<std::string> listed()
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

    HHOOK hook = nullptr;
    HWND window = nullptr, combo = nullptr;
};

const std::string OPEN = "OpenPrinterA velmora-main", DOC = "StartDocPrinterA 1 Firmware Update|(null)|RAW",
                  PAGE = "StartPagePrinter", WRITE = "WritePrinter 49", END_PAGE = "EndPagePrinter",
                  END_DOC = "EndDocPrinter", CLOSE = "ClosePrinter", BOX = "box Error";

// Before the first write, what was started is ended; from the first write on
// the job is deleted, so that no part of an image becomes a job. The box
// comes last and names the call that failed: the stand-in's calls that
// succeed leave a code of their own (183) behind.
TEST_F(SpoolerStandin, EachFailingStepUndoesWhatWasStartedThenShowsOneBox)
{
    const std::string ABORT = "AbortPrinter", REST = "WritePrinter 25";
    struct {
        const char *name;
        const char *failAt;   // null: every call succeeds
        int occurrence;
        DWORD error;
        DWORD missing;        // bytes the first WritePrinter does not take
        int result;
        std::vector<std::string> calls;
        DWORD boxCode;        // the code its box reports; 0: no box
    } rows[] = {
        { "no printer of that name", "OpenPrinterA", 1, 1801, 0, 0, { OPEN, BOX }, 1801 },
        { "cannot open", "OpenPrinterA", 1, 5, 0, 0, { OPEN, BOX }, 5 },
        { "cannot start the document", "StartDocPrinterA", 1, 87, 0, 0, { OPEN, DOC, CLOSE, BOX }, 87 },
        { "cannot start the page", "StartPagePrinter", 1, 31, 0, 0, { OPEN, DOC, PAGE, END_DOC, CLOSE, BOX }, 31 },
        { "the write fails", "WritePrinter", 1, 112, 0, 0, { OPEN, DOC, PAGE, WRITE, ABORT, CLOSE, BOX }, 112 },
        { "the write fails half-way", "WritePrinter", 2, 112, 25, 0,
          { OPEN, DOC, PAGE, WRITE, REST, ABORT, CLOSE, BOX }, 112 },
        { "the write reports half written", nullptr, 0, 0, 25, 1,
          { OPEN, DOC, PAGE, WRITE, REST, END_PAGE, END_DOC, CLOSE }, 0 },
        { "the write reports nothing written", nullptr, 0, 0, 49, 0, { OPEN, DOC, PAGE, WRITE, ABORT, CLOSE, BOX },
          ERROR_WRITE_FAULT },
        { "cannot end the page", "EndPagePrinter", 1, 21, 0, 0,
          { OPEN, DOC, PAGE, WRITE, END_PAGE, ABORT, CLOSE, BOX }, 21 },
        { "cannot end the document", "EndDocPrinter", 1, 6, 0, 0,
          { OPEN, DOC, PAGE, WRITE, END_PAGE, END_DOC, ABORT, CLOSE, BOX }, 6 },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        standin.reset();
        if (row.failAt != nullptr)
            standin.failAt(row.failAt, row.occurrence, row.error);
        standin.shortWrite(row.missing);
        BoxWatcher watcher;
        EXPECT_EQ(row.result, sendConfig("velmora-main"));
        EXPECT_EQ(row.calls, calls());
        EXPECT_EQ(row.boxCode == 0 ? std::vector<Box>() : std::vector<Box>({ { "Error", errorText(row.boxCode) } }),
                  watcher.boxes());
    }
}

// The image goes to the spooler in pieces of 64 KiB, and the bar shows what
// the spooler took: a write that fails at the third piece of four leaves it
// half full.
TEST_F(SpoolerStandin, TheBarShowsWhatTheSpoolerTook)
{
    const std::string payload(4 * 65536, 'x'), piece = "WritePrinter 65536";
    CProgressBar bar(window, nullptr, 0, 0, 100, 10);
    standin.failAt("WritePrinter", 3, ERROR_DISK_FULL);
    BoxWatcher watcher;
    EXPECT_EQ(0, SendDataToSpooler("velmora-main", (const BYTE *)payload.data(), (DWORD)payload.size(), &bar));
    EXPECT_EQ(500, SendMessageA(bar.hBarWnd, PBM_GETPOS, 0, 0));
    EXPECT_EQ(std::vector<std::string>({ OPEN, DOC, PAGE, piece, piece, piece, "AbortPrinter", CLOSE, BOX }), calls());
}

TEST_F(SpoolerStandin, PrinterListAsksOnceMoreWithRoomAskedForAndReportsFailureWithSizes)
{
    // 100 printers of 100 characters: more than the first buffer of 16,384 bytes holds.
    std::string many;
    for (int i = 0; i < 100; i++)
        many += (i ? "," : "") + std::string("velmora-long-") + std::to_string(100 + i) + std::string(84, 'q');
    struct {
        const std::string printers;
        int failing;   // which EnumPrintersA call fails (0: none)
        DWORD error;
    } rows[] = {
        { "velmora-main,velmora-annex", 1, ERROR_ACCESS_DENIED },
        { many, 2, ERROR_NOT_ENOUGH_MEMORY },
        { many, 0, 0 },
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.printers.size()) + " characters of names, call " +
                     std::to_string(row.failing) + " failing");
        standin.setPrinters(row.printers.c_str());
        DWORD needed = 0;
        std::vector<std::string> names = spoolerPrinters(&needed);
        standin.reset();
        if (row.failing != 0)
            standin.failAt("EnumPrintersA", row.failing, row.error);
        SendMessageA(combo, CB_RESETCONTENT, 0, 0);
        BoxWatcher watcher;

        int result = EnumLocalPrinters(window);

        const std::string first = "EnumPrintersA 6 (null) 1 16384";
        std::vector<std::string> expected = { first };
        DWORD offered = 16384;
        if (needed > offered) {
            expected.push_back("EnumPrintersA 6 (null) 1 " + std::to_string(needed));
            offered = needed;
        }
        if (row.failing == 0) {
            EXPECT_EQ(1, result);
            EXPECT_EQ(expected, calls());
            EXPECT_EQ(names, listed());
            EXPECT_EQ(CB_ERR, SendMessageA(combo, CB_GETCURSEL, 0, 0));
            EXPECT_TRUE(watcher.boxes().empty());
            continue;
        }
        expected.push_back("box Failure! information");
        EXPECT_EQ(0, result);
        EXPECT_EQ(expected, calls());
        EXPECT_TRUE(listed().empty());
        const std::string text = "Can't find any printers to update\n\n  EnumPrinters said: \n" +
                                 systemText(row.error) + "\nEnumPrinters needs " + std::to_string(needed) +
                                 " bytes and we sent " + std::to_string(offered);
        EXPECT_EQ(std::vector<Box>({ { "Failure!", text } }), watcher.boxes());
    }
}

}  // namespace
