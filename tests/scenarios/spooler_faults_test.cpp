// Spooler faults against the real program driven from outside, made with the
// CUPS tools while it runs (askScenarioScript). Each case runs only from
// support/scenario.sh, which sets its queues first and puts the standard ones
// back afterwards.
#include <gtest/gtest.h>

#include <sstream>

#include "program.h"

namespace {

// The jobs in an lpstat listing: of `queue`, or of any queue.
size_t jobsListed(const std::string &listed, const std::string &queue = "")
{
    std::istringstream lines(listed);
    size_t jobs = 0;
    for (std::string line; std::getline(lines, line);)
        jobs += queue.empty() ? !line.empty() : line.compare(0, queue.size() + 1, queue + "-") == 0;
    return jobs;
}

// Jobs CUPS has had, finished ones included.
size_t jobsCupsHad(const std::string &queue = "")
{
    std::string listed;
    EXPECT_TRUE(askScenarioScript("jobs", &listed));
    return jobsListed(listed, queue);
}

class SpoolerFaults : public ProgramTest {
protected:
    // Wine's verdict: every one of these (a queue removed or refusing jobs,
    // the CUPS daemon stopped) fails at EndDocPrinter, with error 6; what
    // Windows' spooler says of them is not known here. CUPS got no job, so
    // none can reach the printer later.
    void expectInvalidHandleBoxAndUsable(bool cupsRuns = true)
    {
        const size_t cupsHad = cupsRuns ? jobsCupsHad() : 0;
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_INVALID_HANDLE) } }), sendAndReadBoxes());
        EXPECT_EQ(nullptr, program.faceImage());
        expectStillUsable(AT_START);
        if (cupsRuns) {
            EXPECT_EQ(cupsHad, jobsCupsHad()) << "CUPS got a job";
        }
        EXPECT_EQ(0u, printer::connectionsAccepted()) << "connections at the printer";
    }
};

TEST_F(SpoolerFaults, NoQueuesGiveAnEmptyListAndNoBox)
{
    // scenario.sh has removed every queue.
    ASSERT_TRUE(spoolerPrinters().empty()) << "the spooler still has printers";
    ASSERT_TRUE(start());
    EXPECT_TRUE(program.printers().empty());
    expectNoBox();
    expectStillUsable(AT_START);
}

TEST_F(SpoolerFaults, QueueGoneBeforeSend)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(chooseQueue("velmora-annex"));
    ASSERT_TRUE(askScenarioScript("remove velmora-annex"));
    expectInvalidHandleBoxAndUsable();
}

TEST_F(SpoolerFaults, SpoolerStoppedAfterStart)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(chooseQueue("velmora-main"));
    ASSERT_TRUE(askScenarioScript("stop-cupsd"));
    expectInvalidHandleBoxAndUsable(false);
}

// CUPS takes the job into a disabled queue and keeps it: to the program,
// and so to the operator, that is a firmware send like any other.
TEST_F(SpoolerFaults, DisabledQueueKeepsTheJobUntilEnabled)
{
    ASSERT_TRUE(start());
    ASSERT_TRUE(chooseQueue("velmora-basement"));
    ASSERT_TRUE(askScenarioScript("disable velmora-basement"));
    ASSERT_TRUE(program.alt('S'));
    ASSERT_TRUE(waitForFace());
    expectNoBox();

    std::string held;
    ASSERT_TRUE(askScenarioScript("held velmora-basement", &held));
    EXPECT_EQ(1u, jobsListed(held, "velmora-basement")) << held;
    EXPECT_EQ(0u, printer::connectionsAccepted()) << "the disabled queue printed";
    expectStillUsable(AFTER_FIRMWARE);

    // Enabled again, the queue delivers what it kept, whole and once.
    ASSERT_TRUE(askScenarioScript("enable velmora-basement"));
    std::vector<Job> arrived = printer::waitForJobs(1, 60000);
    ASSERT_EQ(1u, arrived.size());
    EXPECT_TRUE(arrived[0].data == firmwareImage()) << "received " << arrived[0].data.size() << " bytes";
    // Once CUPS holds nothing more for the queue, nothing more can come.
    EXPECT_TRUE(waitUntil([&] {
        std::string left;
        return askScenarioScript("held velmora-basement", &left) && jobsListed(left, "velmora-basement") == 0;
    }, 60000)) << "CUPS still holds a job";
    EXPECT_EQ(1u, printer::connectionsAccepted()) << "connections at the printer";
}

// A spool folder with room for half the image: a write fails part-way with
// 112. The job is deleted, not ended, so the part already spooled never goes
// to the printer as if it were the firmware.
TEST_F(SpoolerFaults, FullSpoolFolderFailsTheWriteAndSendsNoPartOfTheImage)
{
    const std::string folder = environment("WINEPREFIX") + "/drive_c/windows/system32/spool/printers";
    const size_t cupsHadBefore = jobsCupsHad("velmora-main");
    ASSERT_TRUE(askScenarioScript("spool-space 1024 " + folder));
    ASSERT_TRUE(start());
    ASSERT_TRUE(chooseQueue("velmora-main"));
    EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_DISK_FULL) } }), sendAndReadBoxes());
    EXPECT_EQ(nullptr, program.faceImage());
    expectStillUsable(AT_START);
    // The program has closed the printer: a job that was ended is with CUPS
    // by now, and each one CUPS has reaches the printer.
    const size_t cupsHad = jobsCupsHad("velmora-main") - cupsHadBefore;
    const std::vector<Job> arrived = printer::waitForJobs(cupsHad, 60000);
    // Windows deletes the job at AbortPrinter. Wine's AbortPrinter does
    // nothing and its ClosePrinter ends the open document, so what was
    // spooled goes to the printer as a job.
    const std::string image = firmwareImage();
    EXPECT_TRUE(TODO_WINE(equal<size_t>(0, cupsHad) << " jobs with CUPS"));
    EXPECT_TRUE(TODO_WINE(equal<size_t>(0, arrived.size()) << " jobs at the printer, the first of "
                          << (arrived.empty() ? 0 : arrived[0].data.size()) << " of " << image.size() << " bytes"));
    // Whatever arrives is never the whole image.
    for (const Job &job : arrived) {
        EXPECT_LT(job.data.size(), image.size());
        EXPECT_TRUE(image.compare(0, job.data.size(), job.data) == 0) << "not the image's first bytes";
    }
}

TEST_F(SpoolerFaults, ListBeyondTheFirstBuffer)
{
    // scenario.sh has set 60 queues with names of 100 characters: their
    // level-1 records outgrow the program's first buffer of 16,384 bytes.
    DWORD needed = 0;
    std::vector<std::string> queues = spoolerPrinters(&needed);
    ASSERT_EQ(60u, queues.size());
    ASSERT_GT(needed, 16384u) << "the records fit the first buffer: nothing to see";

    ASSERT_TRUE(start());
    EXPECT_EQ(queues, program.printers());
    EXPECT_EQ(-1, program.chosenPrinter());
    expectNoBox();

    // The last one chosen reaches the spooler by its whole name: a rejecting
    // queue's failure, where a cut name would be an unknown printer.
    ASSERT_TRUE(chooseQueue(queues.back()));
    ASSERT_TRUE(askScenarioScript("reject " + queues.back()));
    expectInvalidHandleBoxAndUsable();
}

}  // namespace
