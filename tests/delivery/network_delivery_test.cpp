// Network delivery against the printer simulator on 127.0.0.1:9100, with the
// message boxes read the way an operator reads them.
#include <gtest/gtest.h>

#include <string.h>

#include "flash.h"
#include "resource.h"
#include "test_support.h"

namespace {

// A window with a host box (control 1006), standing in for the main dialog.
class NetworkDelivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA sockets;
        ASSERT_EQ(0, WSAStartup(0x0001, &sockets));
        hMainWnd = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, hMainWnd);
        hostBox = CreateWindowA("EDIT", "", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 90, 20, hMainWnd,
                                (HMENU)(INT_PTR)IDC_HOST_EDIT, nullptr, nullptr);
        ASSERT_NE(nullptr, hostBox);
        printer::clear();
    }

    void TearDown() override
    {
        DestroyWindow(hMainWnd);
        hMainWnd = nullptr;
        WSACleanup();
    }

    void typeHost(const std::string &host) { SetWindowTextA(hostBox, host.c_str()); }

    int send(const std::string &payload)
    {
        return SendDataToNetHost((const BYTE *)payload.data(), (DWORD)payload.size());
    }

    HWND hostBox = nullptr;
};

const std::string configRequest(configpage);

TEST_F(NetworkDelivery, PayloadsArriveByteIdenticalAndConnectionIsClosed)
{
    BoxWatcher watcher;
    struct {
        const char *host;
        std::string payload;
    } cases[] = {
        { "127.0.0.1", firmwareImage() },
        { "localhost", firmwareImage() },
        { "127.0.0.1", configRequest },
    };
    ASSERT_EQ(2097219u, cases[0].payload.size());
    ASSERT_EQ(49u, configRequest.size());

    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.host) + ", " + std::to_string(c.payload.size()) + " bytes");
        printer::clear();
        typeHost(c.host);
        EXPECT_EQ(1, send(c.payload));
        std::vector<Job> jobs = printer::waitForJobs(1, 10000);
        ASSERT_EQ(1u, jobs.size());
        EXPECT_TRUE(jobs[0].data == c.payload) << "received " << jobs[0].data.size() << " bytes";
        EXPECT_EQ("closed by sender", jobs[0].ended);
    }
    EXPECT_TRUE(watcher.boxes().empty());
}

TEST_F(NetworkDelivery, ConfigurationRequestIsOneLineWithBareLineFeed)
{
    const std::string expected = "\x1b%-12345X@PJL DEFAULT TESTPAGE=SELFTEST\n\x1b%-12345X";
    EXPECT_EQ(expected, configRequest);
    EXPECT_EQ(std::string::npos, configRequest.find('\r'));
}

TEST_F(NetworkDelivery, FailuresShowTheirBoxAndReturnZero)
{
    const std::string longName(254, 'p');
    // A name lookup may ask a name server: only inside the private network
    // of tools/private-network.sh, where no query leaves the machine.
    const bool lookupsStayHere = environment("FLASH_NETNS") == "1";
    struct {
        std::string host;
        bool looksUpName;
        Box expected;
    } cases[] = {
        { "", false, { "Info", "Please Enter Host Name" } },
        { "no-such-printer.invalid", true, { "Info", "Couldn't find printer:  no-such-printer.invalid" } },
        { longName, true, { "Info", "Couldn't find printer:  " + longName } },
        // Resolvers would read these as 127.0.0.1 and 8.0.0.1.
        { "127.1", false, { "Info", "Couldn't find printer:  127.1" } },
        { "010.0.0.1", false, { "Info", "Couldn't find printer:  010.0.0.1" } },
        // Nothing listens on 127.0.0.2: the connection is refused.
        { "127.0.0.2", false, { "Info", "Unable to connect to port 9100 on device" } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("host \"" + c.host.substr(0, 30) + "\"");
        if (c.looksUpName && !lookupsStayHere)
            continue;
        BoxWatcher boxes;
        printer::clear();
        typeHost(c.host);
        EXPECT_EQ(0, send(firmwareImage()));
        ASSERT_TRUE(boxes.waitForBoxes(1, 5000));
        EXPECT_EQ(std::vector<Box>{ c.expected }, boxes.boxes());
        EXPECT_TRUE(printer::waitForJobs(1, 300).empty()) << "something reached the printer";
    }
}

TEST_F(NetworkDelivery, PrinterResettingMidSendGivesSendError)
{
    // With megabytes of loopback buffering the system would take the whole
    // image before the printer resets; tools/private-network.sh keeps the
    // buffers printer-sized.
    if (environment("FLASH_NETNS") != "1")
        GTEST_SKIP() << "needs the private network of tools/private-network.sh";
    BoxWatcher watcher;
    printer::behaveNextTime("--reset-after 4096");
    typeHost("127.0.0.1");
    EXPECT_EQ(0, send(firmwareImage()));
    ASSERT_TRUE(watcher.waitForBoxes(1, 5000));
    std::vector<Box> boxes = watcher.boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error", boxes[0].caption);
    EXPECT_EQ(0u, boxes[0].text.find("WSAError: send: ")) << boxes[0];
    EXPECT_GT(atoi(boxes[0].text.c_str() + strlen("WSAError: send: ")), 10000) << boxes[0];
}

TEST_F(NetworkDelivery, ChattyPrinterThatStaysOpenStillGetsWholeImageWithinBoundedWait)
{
    BoxWatcher watcher;
    // A status line at connect that is never read, and a printer that keeps
    // its side open for longer than the program waits.
    printer::behaveNextTime("--status '@PJL USTATUS DEVICE\\r\\nCODE=10001\\r\\n' --hold-open 20");
    typeHost("127.0.0.1");
    DWORD start = GetTickCount();
    EXPECT_EQ(1, send(firmwareImage()));
    DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 15000u) << "the program waited for the printer to close";

    std::vector<Job> jobs = printer::waitForJobs(1, 10000);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_TRUE(jobs[0].data == firmwareImage()) << "received " << jobs[0].data.size() << " bytes";
    EXPECT_EQ("closed by sender", jobs[0].ended);
    EXPECT_TRUE(watcher.boxes().empty());
}

TEST_F(NetworkDelivery, PrinterAnsweringAfterTheJobIsReadAndClosed)
{
    BoxWatcher watcher;
    printer::behaveNextTime("--answer '@PJL USTATUS JOB\\r\\nEND\\r\\n'");
    typeHost("127.0.0.1");
    EXPECT_EQ(1, send(configRequest));
    std::vector<Job> jobs = printer::waitForJobs(1, 5000);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ(configRequest, jobs[0].data);
    EXPECT_TRUE(watcher.boxes().empty());
}

}  // namespace
