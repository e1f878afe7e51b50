// The spooler's failure paths, against the stand-in winspool.drv in the
// stand-in prefix's system folder: it records every spooler call, fails the
// one it is told to or keeps it from returning, and passes jobs on to the
// printer simulator as Windows' spooler does.
// A hook on this thread puts each message box among the calls, so a log
// shows whether the box came before or after the clean-up.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <sstream>

#include <commctrl.h>

#include "payloads.h"
#include "session.h"
#include "spooler.h"
#include "progressbar.h"
#include "resource.h"
#include "test_support.h"

namespace {

std::vector<std::string> operator+(std::vector<std::string> calls, const std::string &next)
{
    calls.push_back(next);
    return calls;
}

struct Standin {
    void (*reset)();
    void (*failAt)(const char *call, int occurrence, DWORD error);
    void (*shortWrite)(DWORD missing);
    void (*setPrinters)(const char *names);
    const char *(*calls)();
    void (*note)(const char *text);
    void (*queue)(DWORD attributes, BOOL refusesPause);
    void (*hold)(const char *call, int occurrence);
    BOOL (*holding)();
    void (*letGo)();
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
                    find(dll, "StandinCalls", standin.calls) && find(dll, "StandinNote", standin.note) &&
                    find(dll, "StandinQueue", standin.queue) && find(dll, "StandinHold", standin.hold) &&
                    find(dll, "StandinHolding", standin.holding) && find(dll, "StandinLetGo", standin.letGo))
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

    // The calls, the boxes among them, and what the port did (with `port`).
    static std::vector<std::string> calls(bool port = false)
    {
        std::vector<std::string> lines;
        std::istringstream all(standin.calls());
        for (std::string line; std::getline(all, line);)
            if (port || line.compare(0, 5, "port:") != 0)
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
                  ASK_SIZE = "GetPrinterA 5 asking the size", ATTRIBUTES = "GetPrinterA 5", PAUSE = "SetJobA 7 pause",
                  PAGE = "StartPagePrinter", WRITE = "WritePrinter 49", END_PAGE = "EndPagePrinter",
                  END_DOC = "EndDocPrinter", RESUME = "SetJobA 7 resume", DELETE_JOB = "SetJobA 7 delete",
                  ABORT = "AbortPrinter", CLOSE = "ClosePrinter", BOX = "box Error";

// The queue is asked what it is, and the job paused as soon as it exists;
// once the job is whole it is released. Anything that fails before deletes
// the job, so that no part of an image and no image the operator was told
// failed is ever printed. The box comes last and names the call that failed:
// the stand-in's calls that succeed leave a code of their own (183) behind.
TEST_F(SpoolerStandin, EachFailingStepUndoesWhatWasStartedThenShowsOneBox)
{
    const std::string REST = "WritePrinter 25";
    const std::vector<std::string> HELD = { OPEN, ASK_SIZE, ATTRIBUTES, DOC, PAUSE, PAGE };
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
        { "cannot read the queue", "GetPrinterA", 2, 5, 0, 0, { OPEN, ASK_SIZE, ATTRIBUTES, CLOSE, BOX }, 5 },
        { "cannot start the document", "StartDocPrinterA", 1, 87, 0, 0,
          { OPEN, ASK_SIZE, ATTRIBUTES, DOC, CLOSE, BOX }, 87 },
        { "cannot start the page", "StartPagePrinter", 1, 31, 0, 0, HELD + ABORT + CLOSE + BOX, 31 },
        { "the write fails", "WritePrinter", 1, 112, 0, 0, HELD + WRITE + ABORT + CLOSE + BOX, 112 },
        { "the write fails half-way", "WritePrinter", 2, 112, 25, 0, HELD + WRITE + REST + ABORT + CLOSE + BOX,
          112 },
        { "the write reports half written", nullptr, 0, 0, 25, 1,
          HELD + WRITE + REST + END_PAGE + END_DOC + RESUME + CLOSE, 0 },
        { "the write reports nothing written", nullptr, 0, 0, 49, 0, HELD + WRITE + ABORT + CLOSE + BOX,
          ERROR_WRITE_FAULT },
        { "cannot end the page", "EndPagePrinter", 1, 21, 0, 0, HELD + WRITE + END_PAGE + ABORT + CLOSE + BOX, 21 },
        { "cannot end the document", "EndDocPrinter", 1, 6, 0, 0,
          HELD + WRITE + END_PAGE + END_DOC + ABORT + CLOSE + BOX, 6 },
        { "cannot release the whole job", "SetJobA", 2, 5, 0, 0,
          HELD + WRITE + END_PAGE + END_DOC + RESUME + "EnumJobsA 1 asking the size" + "EnumJobsA 1" + DELETE_JOB +
              CLOSE + BOX,
          5 },
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
    EXPECT_EQ(std::vector<std::string>({ OPEN, ASK_SIZE, ATTRIBUTES, DOC, PAUSE, PAGE, piece, piece, piece, ABORT, CLOSE,
                                         BOX }),
              calls());
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

// The dialog's answer to the session's end, on the window standing in for it.
WNDPROC standInProcedure;

LRESULT CALLBACK answerSessionEnd(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ENDSESSION && wParam)
        sessionEnds();
    return CallWindowProcA(standInProcedure, window, message, wParam, lParam);
}

// Ends the session, as Windows does when it ends anyway, once a call is held.
DWORD WINAPI endSessionWhenHeld(void *window)
{
    if (waitUntil([] { return standin.holding() != FALSE; }, 30000))
        SendMessageTimeoutA((HWND)window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, nullptr);
    return 0;
}

size_t lineOf(const std::vector<std::string> &lines, const std::string &wanted)
{
    return std::find(lines.begin(), lines.end(), wanted) - lines.begin();
}

// A queue of Windows' spooler passes a job on to the printer while it is
// written, unless the job is paused: the printer simulator sees what a
// printer on such a queue sees. It gets the image whole or not at all, and
// the operator is never told "failed" of an image it gets, nor "done" of one
// it does not. A print server that answers nothing is given up after a
// minute, so the rows that hold a call take that long.
TEST_F(SpoolerStandin, ThePrinterGetsTheWholeImageOnlyOnceReleasedAndAsTheOperatorIsTold)
{
    const std::string image = firmwareImage();
    ASSERT_EQ(2097219u, image.size());
    const DWORD PAST_1_MIB = 17;   // the piece of 64 KiB that would take the image past 1 MiB
    const std::string MAY_PRINT =
        "The print service did not answer while the job was being released to the printer. The printer may still "
        "receive the whole image: look at the printer's queue before you send the firmware again.";
    const std::string DIRECT =
        "This printer's queue passes what the program writes on to the printer at once (it prints directly), so the "
        "program could not keep a part of the image from the printer. Nothing was sent. Send in network mode (Alt+N) "
        "instead, or set the queue to spool print documents and send again.";
    const std::string NOT_HELD =
        "The print queue would not hold the job until the whole image was written, so nothing was sent. Send in "
        "network mode (Alt+N) instead, or ask for the right to manage this printer's documents.\n\n" +
        errorText(ERROR_ACCESS_DENIED);
    enum What { NOTHING, FAILS, ANSWERS_NOTHING, SESSION_ENDS };
    struct {
        const char *name;
        DWORD attributes;
        BOOL refusesPause;
        What what;
        const char *call;     // what fails or answers nothing, its occurrence-th time
        DWORD occurrence;
        int result;
        std::string box;      // "": none
        const char *release;  // the call after which the printer gets the whole image; null: it gets nothing
    } rows[] = {
        { "the whole image", 0, FALSE, NOTHING, nullptr, 0, 1, "", "SetJobA 7 resume" },
        { "a queue that prints once the last page is spooled, the pause refused", PRINTER_ATTRIBUTE_QUEUED, TRUE,
          NOTHING, nullptr, 0, 1, "", "EndDocPrinter" },
        { "a full disk at 1 MiB", 0, FALSE, FAILS, "WritePrinter", PAST_1_MIB, 0, errorText(ERROR_DISK_FULL), nullptr },
        { "the session ends anyway at 1 MiB", 0, FALSE, SESSION_ENDS, "WritePrinter", PAST_1_MIB, 0,
          errorText(ERROR_CANCELLED), nullptr },
        { "silent in a write at 1 MiB", 0, FALSE, ANSWERS_NOTHING, "WritePrinter", PAST_1_MIB, 0,
          errorText(ERROR_TIMEOUT), nullptr },
        { "silent at the document's end", 0, FALSE, ANSWERS_NOTHING, "EndDocPrinter", 1, 0, errorText(ERROR_TIMEOUT),
          nullptr },
        { "silent in the release", 0, FALSE, ANSWERS_NOTHING, "SetJobA", 2, 0, MAY_PRINT, "SetJobA 7 resume" },
        { "a direct queue", PRINTER_ATTRIBUTE_DIRECT, FALSE, NOTHING, nullptr, 0, 0, DIRECT, nullptr },
        { "the pause refused", 0, TRUE, NOTHING, nullptr, 0, 0, NOT_HELD, nullptr },
    };
    standInProcedure = (WNDPROC)SetWindowLongPtrA(window, GWLP_WNDPROC, (LONG_PTR)answerSessionEnd);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        standin.reset();
        printer::clear();
        standin.queue(row.attributes, row.refusesPause);
        if (row.what == FAILS)
            standin.failAt(row.call, row.occurrence, ERROR_DISK_FULL);
        else if (row.what != NOTHING)
            standin.hold(row.call, row.occurrence);
        HANDLE ender = row.what == SESSION_ENDS ? CreateThread(nullptr, 0, endSessionWhenHeld, window, 0, nullptr)
                                                : nullptr;
        BoxWatcher watcher;
        EXPECT_EQ(row.result, SendDataToSpooler("velmora-main", (const BYTE *)image.data(), (DWORD)image.size()));
        if (ender != nullptr) {
            WaitForSingleObject(ender, INFINITE);
            CloseHandle(ender);
        }
        EXPECT_EQ(row.box.empty() ? std::vector<Box>() : std::vector<Box>({ { "Error", row.box } }), watcher.boxes());
        if (row.what == ANSWERS_NOTHING || row.what == SESSION_ENDS) {
            // The print server answers at last: the job's thread goes on.
            EXPECT_TRUE(standin.holding());
            standin.letGo();
            EXPECT_TRUE(waitUntil([] { return calls().back() == CLOSE; }, 10000)) << "the printer was not closed";
        }
        const std::vector<std::string> made = calls(true);
        std::vector<Job> jobs = printer::waitForJobs(row.release != nullptr ? 1 : 0, 10000);
        const std::vector<Box> seen = watcher.boxes();
        printf("%s: %s; the printer got %s\n", row.name,
               seen.empty() ? "no box" : seen[0].text.substr(0, seen[0].text.find_first_of(".:")).c_str(),
               jobs.empty() ? "nothing" : (std::to_string(jobs[0].data.size()) + " bytes, " + jobs[0].ended).c_str());
        if (row.release == nullptr) {
            EXPECT_EQ(0u, printer::connectionsAccepted()) << "the printer saw a connection";
            continue;
        }
        ASSERT_EQ(1u, jobs.size());
        EXPECT_TRUE(jobs[0].data == image) << jobs[0].data.size() << " bytes at the printer";
        EXPECT_EQ("closed by sender", jobs[0].ended);
        EXPECT_EQ(1u, printer::connectionsAccepted());
        EXPECT_LT(lineOf(made, row.release), lineOf(made, "port: connected")) << "the printer got bytes before the release";
    }
}

}  // namespace
