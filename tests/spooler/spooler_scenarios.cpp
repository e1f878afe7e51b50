// Printer lists for queue sets other than the standard one. The cases run
// only from spooler_scenario.sh, which sets the queues up first (and says in
// SPOOLER_SCENARIO_QUEUES how many it made); hence DISABLED_, and this file
// is kept out of the scan that makes a ctest test of each case.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "flash.h"
#include "spooler_helpers.h"
#include "test_support.h"

namespace {

class SpoolerScenarios : public PrinterListWindow {};

TEST_F(SpoolerScenarios, DISABLED_NoQueuesGiveEmptyListAndNoBox)
{
    ASSERT_TRUE(spoolerPrinters().empty()) << "the spooler still has printers";
    BoxWatcher watcher;
    EXPECT_EQ(1, EnumLocalPrinters(window));
    EXPECT_TRUE(listed().empty());
    EXPECT_TRUE(watcher.boxes().empty());
}

TEST_F(SpoolerScenarios, DISABLED_QueuesBeyondTheFirstBufferAreAllListed)
{
    DWORD needed = 0;
    std::vector<std::string> queues = spoolerPrinters(&needed);
    ASSERT_EQ((size_t)atoi(environment("SPOOLER_SCENARIO_QUEUES").c_str()), queues.size());
    ASSERT_GT(needed, sizeof printers) << "the records fit the first buffer: nothing to see";

    BoxWatcher watcher;
    EXPECT_EQ(1, EnumLocalPrinters(window));
    EXPECT_EQ(queues, listed());
    EXPECT_EQ(CB_ERR, selection());
    EXPECT_TRUE(watcher.boxes().empty());
}

}  // namespace
