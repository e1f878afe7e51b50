// The fault matrix, network side and the standard spooler queues: each input
// or fault tried against the real program driven from outside, ending in its
// box (exact text), the program usable afterwards, and at the printer either
// nothing or the whole image once. docs/reliability.md lists the cases.
#include <gtest/gtest.h>

#include "matrix_helpers.h"

namespace {

// Host texts with no name lookup and no connection beyond loopback run
// anywhere; all others only inside the private network of
// tools/private-network.sh, where no lookup or connection leaves the machine.
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

struct HostCase {
    const char *what;
    std::string host;   // what the operator puts in the box
    bool byKeys;        // typed; else set with WM_SETTEXT: the keyboard has no key for it
    Box expected;
};

void tryHosts(const std::vector<HostCase> &cases)
{
    for (const HostCase &c : cases) {
        SCOPED_TRACE(c.what);
        printer::clear();
        Session session;
        ASSERT_TRUE(startProgram(session.program));
        ASSERT_TRUE(enterHost(session.program, c.host, c.byKeys)) << session.program.text(HOST_BOX);
        EXPECT_EQ(std::vector<Box>{ c.expected }, sendAndReadBoxes(session));
        EXPECT_EQ(nullptr, session.program.faceImage());
        EXPECT_EQ(c.host, session.program.text(HOST_BOX)) << "the host text changed";
        expectStillUsable(session.program, AT_START);
        expectJobsAtPrinter(0, 500);
    }
}

const char NOT_FOUND[] = "Couldn't find printer:  ";
const char NO_CONNECTION[] = "Unable to connect to port 9100 on device";

TEST(MatrixHosts, WithoutLookupOrOutsideConnection)
{
    tryHosts({
        { "empty", "", true, { "Info", "Please Enter Host Name" } },
        // Nothing listens on 127.0.0.2.
        { "refused", "127.0.0.2", true, { "Info", NO_CONNECTION } },
    });
}

TEST(MatrixHosts, LookedUpOrUnreachableInPrivateNetwork)
{
    if (!privateNetwork())
        GTEST_SKIP() << "looks names up and connects beyond loopback: only in tools/private-network.sh";
    const std::string longest = hostOfLength(254), typed = hostOfLength(300);
    tryHosts({
        { "one blank", " ", true, { "Info", std::string(NOT_FOUND) + " " } },
        { "254 characters", longest, true, { "Info", NOT_FOUND + longest } },
        // The program reads the first 254 characters only.
        { "300 characters", typed, true, { "Info", NOT_FOUND + typed.substr(0, 254) } },
        { "spaces", "lab printer 2", true, { "Info", std::string(NOT_FOUND) + "lab printer 2" } },
        { "non-ASCII", "drucker-b\xfcro", false, { "Info", std::string(NOT_FOUND) + "drucker-b\xfcro" } },
        { "octet above 255", "256.1.1.1", true, { "Info", std::string(NOT_FOUND) + "256.1.1.1" } },
        // Read as 1.2.0.3, which the private network has no route to.
        { "three parts", "1.2.3", true, { "Info", "Couldn't find printer:  1.2.3" } },
        { "IPv6 literal", "::1", true, { "Info", std::string(NOT_FOUND) + "::1" } },
        { "unknown name", "no-such-printer.invalid", true,
          { "Info", std::string(NOT_FOUND) + "no-such-printer.invalid" } },
    });
}

TEST(MatrixPeers, PrinterResettingMidImageGivesSendErrorAndSendStaysEnabled)
{
    // Outside the private network loopback buffers would take the whole
    // image before the printer resets.
    if (!privateNetwork())
        GTEST_SKIP() << "needs the printer-sized TCP buffers of tools/private-network.sh";
    printer::clear();
    Session session;
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(enterHost(session.program, "127.0.0.1", true));
    printer::behaveNextTime("--reset-after 4096");
    EXPECT_EQ(std::vector<Box>({ { "Error", "WSAError: send: 10054" } }), sendAndReadBoxes(session));
    std::vector<Job> jobs = printer::waitForJobs(1, 10000);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ("reset by printer after 4096 bytes", jobs[0].ended);
    EXPECT_TRUE(jobs[0].data == firmwareImage().substr(0, 4096)) << "not the image's head";
    EXPECT_EQ(nullptr, session.program.faceImage());
    expectStillUsable(session.program, AT_START);
    expectJobsAtPrinter(1, 1000);
}

TEST(MatrixPeers, PrinterAnsweringAfterTheImageGetsItWholeOnceAndTheFaceShows)
{
    printer::clear();
    Session session;
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(enterHost(session.program, "127.0.0.1", true));
    printer::behaveNextTime("--answer '@PJL USTATUS JOB\\r\\nEND\\r\\n'");
    session.program.alt('S');
    ASSERT_TRUE(waitForFace(session.program));
    std::vector<Job> jobs = printer::waitForJobs(1, 10000);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_TRUE(jobs[0].data == firmwareImage()) << "received " << jobs[0].data.size() << " bytes";
    EXPECT_EQ("closed by sender", jobs[0].ended);
    EXPECT_TRUE(session.boxes.boxes().empty()) << session.boxes.boxes()[0];
    expectStillUsable(session.program, AFTER_FIRMWARE);
    expectJobsAtPrinter(1, 1000);
}

TEST(MatrixSpooler, RejectingQueueShowsOneErrorBoxAndSendsNothing)
{
    printer::clear();
    Session session;
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(chooseQueue(session.program, "velmora-rejects"));
    expectOneSpoolerFailureBox(sendAndReadBoxes(session));
    expectStillUsable(session.program, AT_START);
    expectJobsAtPrinter(0, 3000);
}

}  // namespace
