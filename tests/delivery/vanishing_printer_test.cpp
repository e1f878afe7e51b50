// Printers that vanish, stall, read slowly, keep their side open or never
// answer, against the network delivery: with the test network's TCP buffers,
// and with Linux's own defaults, under which the system would take megabytes
// from a sender that let it. Through all of it the window answers within
// answerBoundMs(), as Windows needs to see it alive. Run by support/scenario.sh, which
// switches the buffers.
#include <gtest/gtest.h>

#include <algorithm>

#include <commctrl.h>

#include "network.h"
#include "progressbar.h"
#include "test_support.h"

namespace {

const DWORD MIB = 1048576, KIB_100 = 102400;

// Longer than any of these printers takes to be given up: a vanished one
// after 5 retransmissions, a stalled one after the program's 60 s.
const DWORD BOX_WITHIN_MS = 180000;
// tools/private-network.sh: nothing answers a connection to this address, and
// the name server never answers for this name.
const char UNANSWERED_ADDRESS[] = "127.0.0.9", UNANSWERED_NAME[] = "printer.unanswered.test";

struct Row {
    const char *name;
    std::string printerBehaves;   // options of tools/printer_sim.py
    // None: the send is done. Else this box, or done where the printer
    // vanished once its system had every byte and the end: its
    // acknowledgement of them may have left before it vanished, or not.
    Box box;
    std::string ended;            // as the simulator records the job; "": no connection
    DWORD arrived;                // bytes the simulator read
    const char *host;
    DWORD withinMs;               // the outcome comes this soon
    bool barMoves;                // the bar shows the image going out, step by step
};

const Box NONE = { "", "" };

std::string bytes(DWORD count)
{
    return std::to_string(count);
}

// Every position the bar is given, as it receives them.
std::vector<int> barGiven;
WNDPROC barProcedure;

LRESULT CALLBACK noteBarPositions(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_SETPOS && (barGiven.empty() || barGiven.back() != (int)wParam))
        barGiven.push_back((int)wParam);
    return CallWindowProcA(barProcedure, bar, message, wParam, lParam);
}

// A vanished printer is given up by the system after 5 retransmissions in the
// test network, a stalled one by the program's own bound on a send that
// takes nothing: both time out (10060, WSAETIMEDOUT). A reset is 10054.
std::vector<Row> rowsFor(DWORD image)
{
    const Box reset = { "Error", "WSAError: send: 10054" }, timedOut = { "Error", "WSAError: send: 10060" };
    const DWORD late = image - KIB_100;
    const char *const printer = "127.0.0.1";
    return {
        { "vanishes at once", "--vanish-after 0", timedOut, "vanished after 0 bytes", 0, printer, BOX_WITHIN_MS, false },
        { "vanishes at 1 MiB", "--vanish-after " + bytes(MIB), timedOut, "vanished after " + bytes(MIB) + " bytes", MIB,
          printer, BOX_WITHIN_MS, false },
        { "vanishes 100 KiB before the end", "--vanish-after " + bytes(late), timedOut,
          "vanished after " + bytes(late) + " bytes", late, printer, BOX_WITHIN_MS, false },
        // It read every byte; whether its system had also acknowledged the
        // end before it vanished is a race, and the report tells.
        { "vanishes as the last byte arrives", "--vanish-after " + bytes(image), timedOut,
          "vanished after " + bytes(image) + " bytes", image, printer, BOX_WITHIN_MS, false },
        { "reads at 200 KB/s", "--read-rate 200000", NONE, "closed by sender", image, printer, BOX_WITHIN_MS, true },
        // Done once its system has acknowledged everything, long before it closes.
        { "keeps its side open 60 s", "--hold-open 60", NONE, "closed by sender", image, printer, 30000, false },
        { "stops reading at 1 MiB", "--stall-after " + bytes(MIB), timedOut,
          "stalled after " + bytes(MIB) + " bytes", MIB, printer, BOX_WITHIN_MS, false },
        // Every byte acknowledged, then a reset while the program listens for
        // the printer's last word: it dropped some of them.
        { "resets after the last byte", "--reset-after " + bytes(image), reset,
          "reset by printer after " + bytes(image) + " bytes", image, printer, BOX_WITHIN_MS, false },
        // It has every byte and the end, answers, and then drops the job.
        { "answers the end, then resets", "--answer '@PJL USTATUS JOB\\r\\n' --answer-then-reset", reset,
          "closed by sender", image, printer, BOX_WITHIN_MS, false },
        // Windows gives up after 21 s; Linux alone would try for 127 s.
        { "never answers the connection", "", { "Info", "Unable to connect to port 9100 on device" }, "", 0,
          UNANSWERED_ADDRESS, 40000, false },
        { "its name never gets an answer", "", { "Info", "Couldn't find printer:  " + std::string(UNANSWERED_NAME) },
          "", 0, UNANSWERED_NAME, BOX_WITHIN_MS, false },
    };
}

TEST(VanishingPrinter, FailsUnlessThePrinterTookEveryByteWithEitherBuffers)
{
    ASSERT_EQ("1", environment("FLASH_NETNS")) << "these printers need the network of tools/private-network.sh";
    const std::string image = firmwareImage();
    ASSERT_GT(image.size(), MIB + KIB_100);
    const DWORD IMAGE = (DWORD)image.size();
    WSADATA sockets;
    ASSERT_EQ(0, WSAStartup(0x0001, &sockets));
    // The window standing in for the dialog, with its bar.
    HWND dialog = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, dialog);
    CProgressBar progress(dialog, nullptr, 0, 40, 100, 20);
    barProcedure = (WNDPROC)SetWindowLongPtrA(progress.hBarWnd, GWLP_WNDPROC, (LONG_PTR)noteBarPositions);

    for (const char *buffers : { "test", "system" }) {
        ASSERT_TRUE(askScenarioScript(std::string("buffers ") + buffers));
        const std::string wmem = readFile("Z:\\proc\\sys\\net\\ipv4\\tcp_wmem");
        ASSERT_NE(std::string::npos, wmem.find(buffers == std::string("test") ? "262144" : "4194304")) << wmem;
        for (const Row &row : rowsFor(IMAGE)) {
            SCOPED_TRACE(std::string(row.name) + ", " + buffers + " buffers");
            printer::clear();
            printer::behaveNextTime(row.printerBehaves);
            BoxWatcher watcher;
            barGiven.clear();
            AnswerWatcher answers(dialog);
            DWORD start = GetTickCount();
            // The box is shown, read and closed before the call returns.
            const int sent = SendDataToNetHost(row.host, (const BYTE *)image.data(), IMAGE, &progress);
            DWORD took = GetTickCount() - start, longestUnanswered = answers.stop();
            std::vector<Job> jobs = row.ended.empty() ? std::vector<Job>() : printer::waitForJobs(1, 30000);
            const Job job = jobs.size() == 1 ? jobs[0] : Job{ "", "", 0, false, "" };
            printf("%s, %s buffers: %s after %lu ms; the window answered within %lu ms; the printer held %lu "
                   "bytes%s; the bar took %u positions\n", row.name, buffers, sent == 1 ? "done" : "the box",
                   (unsigned long)took, (unsigned long)longestUnanswered, (unsigned long)job.held,
                   job.end ? " and the end" : "", (unsigned)barGiven.size());
            EXPECT_LT(took, row.withinMs);
            EXPECT_LE(longestUnanswered, answerBoundMs());
            const bool vanishedHoldingAll = row.ended.compare(0, 8, "vanished") == 0 && job.held == IMAGE && job.end;
            if (sent == 1) {
                EXPECT_TRUE(row.box.caption.empty() || vanishedHoldingAll)
                    << "done, but the printer held " << job.held << " of " << IMAGE << " bytes"
                    << (job.end ? " and the end" : ", not the end");
            } else {
                EXPECT_EQ(0, sent);
            }
            EXPECT_EQ(sent == 1 ? std::vector<Box>() : std::vector<Box>{ row.box }, watcher.boxes());
            // The bar never runs ahead of the printer's system, which holds
            // what the simulator read and at most its receive buffer more; it
            // is full once the printer has everything.
            int bar = (int)SendMessageA(progress.hBarWnd, PBM_GETPOS, 0, 0);
            EXPECT_LE(bar, (int)((row.arrived + 2 * 65536ull) * 1000 / IMAGE));
            if (sent == 1) {
                EXPECT_EQ(1000, bar);
            }
            if (row.barMoves) {
                // At 200 KB/s the image takes 10 s: the bar moves in many small steps.
                EXPECT_GE(barGiven.size(), 20u) << "the bar did not show the image going out";
                EXPECT_TRUE(std::is_sorted(barGiven.begin(), barGiven.end())) << "the bar went back";
            }
            if (row.ended.empty()) {
                EXPECT_EQ(0u, printer::connectionsAccepted());
                continue;
            }
            ASSERT_EQ(1u, jobs.size());
            EXPECT_EQ(row.ended, jobs[0].ended);
            EXPECT_TRUE(jobs[0].data == image.substr(0, row.arrived))
                << jobs[0].data.size() << " bytes at the printer, not the image's first " << row.arrived;
        }
    }
    DestroyWindow(dialog);
    WSACleanup();
}

}  // namespace
