// The shipped program with its dialog template out of reach: a copy of the
// built executable whose DIALOG resource carries id 103 instead of 102, all
// else byte for byte the same (made by tests/dialog/CMakeLists.txt).
#include <gtest/gtest.h>

#include "program.h"

namespace {

TEST(DialogCannotOpen, ShowsTheSystemsReasonAndEndsWithStatus1)
{
    BoxWatcher boxes;
    Program program;
    ASSERT_TRUE(program.start("velmora-flash-dialog-103.exe"));
    ASSERT_TRUE(boxes.waitForBoxes(1, startMs()));
    ASSERT_TRUE(program.waitForExit(startMs()));
    EXPECT_EQ(1u, program.exitCode());
    EXPECT_EQ(std::vector<Box>({ { "Error", "failure with error 1814: Resource name not found.\r\n" } }),
              boxes.boxes());
}

}  // namespace
