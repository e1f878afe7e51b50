// Network delivery against the printer simulator on 127.0.0.1:9100, with the
// message boxes read the way an operator reads them.
#include <gtest/gtest.h>

#include "network.h"
#include "payloads.h"
#include "test_support.h"

namespace {

class NetworkDelivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA sockets;
        ASSERT_EQ(0, WSAStartup(0x0001, &sockets));
        printer::clear();
    }

    void TearDown() override { WSACleanup(); }

    void typeHost(const std::string &typed) { host = typed; }

    int send(const std::string &payload)
    {
        return SendDataToNetHost(host.c_str(), (const BYTE *)payload.data(), (DWORD)payload.size());
    }

    std::string host;
};

// Name lookups and connections beyond loopback only inside the private
// network of tools/private-network.sh, where none of them leaves the machine;
// there TCP buffers are printer-sized too.
bool privateNetwork()
{
    return environment("FLASH_NETNS") == "1";
}

// `length` characters cycling through letters and digits: where a text was
// cut shows in the box.
std::string hostOfLength(size_t length)
{
    static const char cycle[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string host;
    for (size_t i = 0; i < length; i++)
        host += cycle[i % (sizeof cycle - 1)];
    return host;
}

TEST_F(NetworkDelivery, PrinterGetsEveryByteOnceAndTheConnectionIsClosed)
{
    const std::string image = firmwareImage();
    ASSERT_FALSE(image.empty());
    const DWORD IMAGE = (DWORD)image.size(), LAST_300_KIB = IMAGE - 300 * 1024;
    struct {
        const char *what;
        const char *host;
        std::string payload, expected;
        std::string printerBehaves;   // options of tools/printer_sim.py; "" for none
        DWORD withinMs;               // the send is done this soon
        bool waitsForTheEnd;          // sees the printer through to its end: no reset may reach it
    } cases[] = {
        { "image by address", "127.0.0.1", image, image, "", 30000, false },
        { "image by name", "localhost", image, image, "", 30000, false },
        { "configuration request", "127.0.0.1", configpage, CONFIG_REQUEST, "", 30000, false },
        // A status line at connect that is never read, and a printer that
        // keeps its side open for far longer than the program may take.
        { "chatty printer that stays open", "127.0.0.1", image, image,
          "--status '@PJL USTATUS DEVICE\\r\\nCODE=10001\\r\\n' --hold-open 60", 30000, false },
        { "printer answering after the job", "127.0.0.1", image, image, "--answer '@PJL USTATUS JOB\\r\\nEND\\r\\n'",
          30000, true },
        { "printer that sends urgent data at connect", "127.0.0.1", image, image, "--urgent '!'", 30000, false },
        // It has nothing to say: its end comes first, the program's last.
        { "printer that ends its side at once, then reads at 2 MB/s", "127.0.0.1", image, image,
          "--end-first --read-rate 2000000", 30000, true },
        { "printer that ends its side as the image ends", "127.0.0.1", image, image,
          "--end-after " + std::to_string(IMAGE), 30000, true },
        // Longer than a minute for what is still on its way once the image is out.
        { "printer that takes the last 300 KiB at 4 KB/s", "127.0.0.1", image, image,
          "--read-rate 4000 --slow-after " + std::to_string(LAST_300_KIB), 180000, false },
        // The program reads it, and closes only after the printer.
        { "printer that speaks 2 s after the job and ends its side 5 s later", "127.0.0.1", image, image,
          "--answer '@PJL USTATUS JOB\\r\\nEND\\r\\n' --answer-delay 2 --hold-open 5", 30000, true },
    };
    BoxWatcher watcher;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        printer::clear();
        printer::behaveNextTime(c.printerBehaves);
        typeHost(c.host);
        DWORD start = GetTickCount();
        size_t boxesBefore = watcher.boxes().size();
        EXPECT_EQ(1, send(c.payload)) << (watcher.boxes().size() > boxesBefore ? watcher.boxes().back() : Box());
        EXPECT_LT(GetTickCount() - start, c.withinMs) << "the program waited for the printer to close";
        // A slow printer may still be reading what its system has taken.
        std::vector<Job> jobs = printer::waitForJobs(1, c.withinMs);
        ASSERT_EQ(1u, jobs.size());
        EXPECT_TRUE(jobs[0].data == c.expected) << "received " << jobs[0].data.size() << " bytes";
        EXPECT_EQ("closed by sender", jobs[0].ended);
        if (c.waitsForTheEnd) {
            EXPECT_TRUE(waitUntil([] { return !printer::waitForJobs(1, 0)[0].afterEnd.empty(); }, 30000));
            EXPECT_EQ("in order", printer::waitForJobs(1, 0)[0].afterEnd);
        }
    }
    EXPECT_TRUE(watcher.boxes().empty()) << watcher.boxes()[0];
}

TEST_F(NetworkDelivery, FailuresShowTheirBoxAndReturnZero)
{
    const char NOT_FOUND[] = "Couldn't find printer:  ";
    const std::string longest = hostOfLength(254), typed = hostOfLength(300);
    const std::string image = firmwareImage();
    struct {
        std::string host;
        bool privateOnly;          // looks a name up, or needs printer-sized buffers
        const char *printerBehaves;
        Box expected;
        std::string arrived;       // what the printer got before it reset; "": no job
    } cases[] = {
        { "", false, "", { "Info", "Please Enter Host Name" }, "" },
        // Nothing listens on 127.0.0.2: the connection is refused.
        { "127.0.0.2", false, "", { "Info", "Unable to connect to port 9100 on device" }, "" },
        // Resolvers would read these as 127.0.0.1, 8.0.0.1 and 1.2.0.3.
        { "127.1", false, "", { "Info", NOT_FOUND + std::string("127.1") }, "" },
        { "010.0.0.1", false, "", { "Info", NOT_FOUND + std::string("010.0.0.1") }, "" },
        { "1.2.3", false, "", { "Info", NOT_FOUND + std::string("1.2.3") }, "" },
        { " ", true, "", { "Info", NOT_FOUND + std::string(" ") }, "" },
        { longest, true, "", { "Info", NOT_FOUND + longest }, "" },
        // The program reads the first 254 characters only.
        { typed, true, "", { "Info", NOT_FOUND + typed.substr(0, 254) }, "" },
        { "lab printer 2", true, "", { "Info", NOT_FOUND + std::string("lab printer 2") }, "" },
        { "drucker-b\xfcro", true, "", { "Info", NOT_FOUND + std::string("drucker-b\xfcro") }, "" },
        { "256.1.1.1", true, "", { "Info", NOT_FOUND + std::string("256.1.1.1") }, "" },
        { "::1", true, "", { "Info", NOT_FOUND + std::string("::1") }, "" },
        { "no-such-printer.invalid", true, "", { "Info", NOT_FOUND + std::string("no-such-printer.invalid") }, "" },
        // With megabytes of loopback buffering the system would take the
        // whole image before the printer resets.
        { "127.0.0.1", true, "--reset-after 4096", { "Error", "WSAError: send: 10054" }, image.substr(0, 4096) },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("host \"" + c.host.substr(0, 30) + "\" " + c.printerBehaves);
        if (c.privateOnly && !privateNetwork())
            continue;
        BoxWatcher boxes;
        printer::clear();
        printer::behaveNextTime(c.printerBehaves);
        typeHost(c.host);
        EXPECT_EQ(0, send(image));
        // The call returns once its box is closed: the watcher has read it.
        EXPECT_EQ(std::vector<Box>{ c.expected }, boxes.boxes());
        // Had the program connected, the printer would have accepted the
        // connection before the send returned.
        if (c.arrived.empty()) {
            EXPECT_EQ(0u, printer::connectionsAccepted()) << "the program connected to the printer";
            continue;
        }
        std::vector<Job> jobs = printer::waitForJobs(1, 10000);
        ASSERT_EQ(1u, jobs.size());
        EXPECT_EQ(1u, printer::connectionsAccepted());
        EXPECT_EQ("reset by printer after 4096 bytes", jobs[0].ended);
        EXPECT_TRUE(jobs[0].data == c.arrived) << "not the image's head";
    }
    if (!privateNetwork())
        GTEST_SKIP() << "the cases that look names up or need printer-sized buffers run only in "
                        "tools/private-network.sh";
}

// Without the system's TCP table the program cannot know whether the printer
// acknowledged the image: the send fails at once, not after a minute of
// waiting, and the printer sees an orderly end only after every byte. Runs
// in the stand-in prefix, whose iphlpapi.dll cannot read the table.
TEST_F(NetworkDelivery, UnreadableTcpTableFailsTheSendAtOnce)
{
    const std::string image = firmwareImage();
    BoxWatcher boxes;
    typeHost("127.0.0.1");
    DWORD start = GetTickCount();
    EXPECT_EQ(0, send(image));
    EXPECT_LT(GetTickCount() - start, 30000u) << "waited as for a slow printer";
    EXPECT_EQ(std::vector<Box>({ { "Error", "WSAError: GetTcpTable: 50" } }), boxes.boxes());
    std::vector<Job> jobs = printer::waitForJobs(1, 10000);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_TRUE(image.compare(0, jobs[0].data.size(), jobs[0].data) == 0) << "not the image's first bytes";
    EXPECT_TRUE(jobs[0].ended == "closed by sender" ? jobs[0].data == image : jobs[0].ended.find("reset by sender") == 0)
        << jobs[0].data.size() << " bytes, " << jobs[0].ended;
}

}  // namespace
