// The fault matrix, spooler faults that CUPS can only be put into from
// outside Wine: the cases run only from matrix_scenario.sh, which sets their
// queues, carries out their requests and puts the standard queues back
// afterwards. Hence DISABLED_, and this file is kept out of the scan that
// makes ctest tests.
#include <gtest/gtest.h>

#include <sstream>

#include "matrix_helpers.h"

namespace {

class MatrixScenario : public ::testing::Test {
protected:
    void SetUp() override { printer::clear(); }
    Session session;
};

TEST_F(MatrixScenario, DISABLED_QueueGoneBeforeSend)
{
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(chooseQueue(session.program, "velmora-annex"));
    ASSERT_TRUE(outside("remove velmora-annex"));
    expectOneSpoolerFailureBox(sendAndReadBoxes(session));
    EXPECT_EQ(nullptr, session.program.faceImage());
    expectStillUsable(session.program, AT_START);
    expectJobsAtPrinter(0, 3000);
}

TEST_F(MatrixScenario, DISABLED_SpoolerStoppedAfterStart)
{
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(chooseQueue(session.program, "velmora-main"));
    ASSERT_TRUE(outside("stop-cupsd"));
    expectOneSpoolerFailureBox(sendAndReadBoxes(session));
    EXPECT_EQ(nullptr, session.program.faceImage());
    expectStillUsable(session.program, AT_START);
    expectJobsAtPrinter(0, 3000);
}

// CUPS takes the job into a disabled queue and keeps it: to the program,
// and so to the operator, that is a firmware send like any other.
TEST_F(MatrixScenario, DISABLED_DisabledQueueKeepsTheJobUntilEnabled)
{
    ASSERT_TRUE(startProgram(session.program));
    ASSERT_TRUE(chooseQueue(session.program, "velmora-basement"));
    ASSERT_TRUE(outside("disable velmora-basement"));
    session.program.alt('S');
    ASSERT_TRUE(waitForFace(session.program));
    EXPECT_TRUE(session.boxes.boxes().empty()) << session.boxes.boxes()[0];
    expectJobsAtPrinter(0, 3000);

    std::string held;
    ASSERT_TRUE(outside("held velmora-basement", &held));
    std::istringstream lines(held);
    std::string line;
    size_t jobs = 0;
    while (std::getline(lines, line))
        jobs += line.compare(0, 17, "velmora-basement-") == 0;
    EXPECT_EQ(1u, jobs) << held;
    expectStillUsable(session.program, AFTER_FIRMWARE);

    // Enabled again, the queue delivers what it kept, whole and once.
    ASSERT_TRUE(outside("enable velmora-basement"));
    std::vector<Job> arrived = printer::waitForJobs(1, 60000);
    ASSERT_EQ(1u, arrived.size());
    EXPECT_TRUE(arrived[0].data == firmwareImage()) << "received " << arrived[0].data.size() << " bytes";
    expectJobsAtPrinter(1, 3000);
}

TEST_F(MatrixScenario, DISABLED_ListBeyondTheFirstBuffer)
{
    // matrix_scenario.sh has set 60 queues with names of 100 characters:
    // their level-1 records outgrow the program's first buffer of 16,384 bytes.
    DWORD needed = 0;
    std::vector<std::string> queues = spoolerPrinters(&needed);
    ASSERT_EQ(60u, queues.size());
    ASSERT_GT(needed, 16384u) << "the records fit the first buffer: nothing to see";

    ASSERT_TRUE(startProgram(session.program));
    EXPECT_EQ(queues, session.program.printers());
    EXPECT_EQ(-1, session.program.chosenPrinter());
    EXPECT_TRUE(session.boxes.boxes().empty()) << session.boxes.boxes()[0];

    // The last one chosen reaches the spooler by its whole name: a rejecting
    // queue's failure, where a cut name would be an unknown printer.
    ASSERT_TRUE(chooseQueue(session.program, queues.back()));
    ASSERT_TRUE(outside("reject " + queues.back()));
    expectOneSpoolerFailureBox(sendAndReadBoxes(session));
    expectStillUsable(session.program, AT_START);
    expectJobsAtPrinter(0, 3000);
}

}  // namespace
