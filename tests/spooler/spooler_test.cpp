// Jobs through Wine's spooler into the private CUPS queues, and the printer
// list those queues make, with the boxes read the way an operator reads them.
// Wine's verdict throughout: its spooler hands a job to CUPS when the
// document ends, paused or not, and then lists and counts no job; the program
// takes the job it cannot find any more for one passed on whole. How a queue
// of Windows' spooler treats the job is the stand-in's (SpoolerStandin).
#include <gtest/gtest.h>

#include <sstream>

#include "payloads.h"
#include "spooler.h"
#include "test_support.h"

namespace {

// CUPS logs each finished job as a line of its page log, the job's name
// among the last fields: "... total 0 - localhost Firmware Update - -".
std::vector<std::string> cupsPageLog()
{
    std::istringstream log(readFile(windowsPath(environment("FLASH_RUN_DIR") + "/cups/log/page_log")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> waitForCupsPageLog(size_t lines, DWORD timeoutMs)
{
    waitUntil([lines] { return cupsPageLog().size() >= lines; }, timeoutMs);
    return cupsPageLog();
}

int send(const char *printer, const std::string &payload)
{
    return SendDataToSpooler(printer, (const BYTE *)payload.data(), (DWORD)payload.size());
}

class SpoolerQueues : public ::testing::Test {
protected:
    void SetUp() override { printer::clear(); }
};

TEST_F(SpoolerQueues, PayloadsArriveByteIdenticalInJobNamedFirmwareUpdate)
{
    const std::string payloads[] = { firmwareImage(), CONFIG_REQUEST };
    ASSERT_FALSE(payloads[0].empty());

    BoxWatcher watcher;
    for (const std::string &payload : payloads) {
        SCOPED_TRACE(std::to_string(payload.size()) + " bytes");
        printer::clear();
        size_t before = cupsPageLog().size();
        EXPECT_EQ(1, send("velmora-main", payload));
        std::vector<Job> jobs = printer::waitForJobs(1, 20000);
        ASSERT_EQ(1u, jobs.size());
        EXPECT_TRUE(jobs[0].data == payload) << "received " << jobs[0].data.size() << " bytes";
        std::vector<std::string> logged = waitForCupsPageLog(before + 1, 20000);
        ASSERT_EQ(before + 1, logged.size());
        EXPECT_EQ(0u, logged.back().find("velmora-main ")) << logged.back();
        EXPECT_NE(std::string::npos, logged.back().find(" Firmware Update ")) << logged.back();
    }
    EXPECT_TRUE(watcher.boxes().empty()) << watcher.boxes()[0];
}

TEST_F(SpoolerQueues, UnknownOrEmptyNameAsksForPrinterAndSendsNothing)
{
    for (const char *name : { "velmora-nowhere", "" }) {
        SCOPED_TRACE(std::string("printer \"") + name + "\"");
        BoxWatcher watcher;
        EXPECT_EQ(0, send(name, CONFIG_REQUEST));
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_INVALID_PRINTER_NAME) } }), watcher.boxes());
        // No printer was opened: no job exists that could come later.
        EXPECT_EQ(0u, printer::connectionsAccepted()) << "connections at the printer";
    }
}

TEST_F(SpoolerQueues, RejectingQueueShowsErrorWithItsCodeAndReturnsZero)
{
    BoxWatcher watcher;
    EXPECT_EQ(0, send("velmora-rejects", CONFIG_REQUEST));
    // Wine's verdict: its spooler hands the job to CUPS in EndDocPrinter,
    // which fails with 6. What Windows' spooler says of a queue that refuses
    // jobs, and at which call, is not known here.
    EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_INVALID_HANDLE) } }), watcher.boxes());
    // CUPS refused the job: none exists that could come later.
    EXPECT_EQ(0u, printer::connectionsAccepted()) << "the rejecting queue printed";
}

}  // namespace
