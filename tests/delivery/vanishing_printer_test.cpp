// Printers that vanish, stall, read slowly or keep their side open, against
// the network delivery: with the test network's TCP buffers, and with Linux's
// own defaults, under which the system would take megabytes from a sender
// that let it. Run by support/scenario.sh, which switches the buffers.
#include <gtest/gtest.h>

#include "flash.h"
#include "resource.h"
#include "test_support.h"

namespace {

const DWORD MIB = 1048576, KIB_100 = 102400;

// Longer than any of these printers takes to be given up: a vanished one
// after 5 retransmissions, a stalled one after the program's 60 s.
const DWORD BOX_WITHIN_MS = 180000;

struct Row {
    const char *name;
    std::string printerBehaves;   // options of tools/printer_sim.py
    Box box;                      // none: the send is done
    std::string ended;            // as the simulator records the job
    DWORD arrived;                // bytes the simulator read
};

const Box NONE = { "", "" };

std::string bytes(DWORD count)
{
    return std::to_string(count);
}

// A vanished printer is given up by the system (10054 under Wine, after 5
// retransmissions in the test network); a stalled one by the program's own
// bound on a send that takes nothing (10060, WSAETIMEDOUT).
std::vector<Row> rowsFor(DWORD image)
{
    const Box reset = { "Error", "WSAError: send: 10054" };
    const DWORD late = image - KIB_100;
    return {
        { "vanishes at once", "--vanish-after 0", reset, "vanished after 0 bytes", 0 },
        { "vanishes at 1 MiB", "--vanish-after " + bytes(MIB), reset, "vanished after " + bytes(MIB) + " bytes", MIB },
        { "vanishes 100 KiB before the end", "--vanish-after " + bytes(late), reset,
          "vanished after " + bytes(late) + " bytes", late },
        { "vanishes after the whole image", "--vanish-after " + bytes(image), NONE,
          "vanished after " + bytes(image) + " bytes", image },
        { "reads at 200 KB/s", "--read-rate 200000", NONE, "closed by sender", image },
        { "keeps its side open 15 s", "--hold-open 15", NONE, "closed by sender", image },
        { "stops reading at 1 MiB", "--stall-after " + bytes(MIB), { "Error", "WSAError: send: 10060" },
          "stalled after " + bytes(MIB) + " bytes", MIB },
        // Every byte handed over, then a reset while the program waits for
        // the printer to close: it dropped some of them.
        { "resets after the last byte", "--reset-after " + bytes(image), reset,
          "reset by printer after " + bytes(image) + " bytes", image },
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
    hMainWnd = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hMainWnd);
    HWND hostBox = CreateWindowA("EDIT", "127.0.0.1", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 90, 20, hMainWnd,
                                 (HMENU)(INT_PTR)IDC_HOST_EDIT, nullptr, nullptr);
    ASSERT_NE(nullptr, hostBox);

    for (const char *buffers : { "test", "system" }) {
        ASSERT_TRUE(askScenarioScript(std::string("buffers ") + buffers));
        const std::string wmem = readFile("Z:\\proc\\sys\\net\\ipv4\\tcp_wmem");
        ASSERT_NE(std::string::npos, wmem.find(buffers == std::string("test") ? "262144" : "4194304")) << wmem;
        for (const Row &row : rowsFor(IMAGE)) {
            SCOPED_TRACE(std::string(row.name) + ", " + buffers + " buffers");
            printer::clear();
            printer::behaveNextTime(row.printerBehaves);
            BoxWatcher watcher;
            DWORD start = GetTickCount();
            EXPECT_EQ(row.box.caption.empty() ? 1 : 0, SendDataToNetHost((const BYTE *)image.data(), IMAGE));
            if (!row.box.caption.empty()) {
                EXPECT_TRUE(watcher.waitForBoxes(1, BOX_WITHIN_MS));
            }
            printf("%s, %s buffers: %s after %lu ms\n", row.name, buffers,
                   row.box.caption.empty() ? "done" : "the box", (unsigned long)(GetTickCount() - start));
            EXPECT_EQ(row.box.caption.empty() ? std::vector<Box>() : std::vector<Box>{ row.box }, watcher.boxes());
            std::vector<Job> jobs = printer::waitForJobs(1, 30000);
            ASSERT_EQ(1u, jobs.size());
            EXPECT_EQ(row.ended, jobs[0].ended);
            EXPECT_TRUE(jobs[0].data == image.substr(0, row.arrived))
                << jobs[0].data.size() << " bytes at the printer, not the image's first " << row.arrived;
        }
    }
    DestroyWindow(hMainWnd);
    hMainWnd = nullptr;
    WSACleanup();
}

}  // namespace
