// The message boxes: what displayLastError says for a code, and texts longer
// than their buffers cut rather than overrun. The other boxes' texts are
// checked where a delivery or the dialog shows them.
#include <gtest/gtest.h>

#include <string.h>

#include "messages.h"
#include "test_support.h"

namespace {

TEST(MessageBoxes, LastErrorAsksForAPrinterOrGivesTheCodeAndTheSystemsText)
{
    // An unknown printer; a code with a system text; one without.
    ASSERT_EQ("", systemText(0x2000ABCD));
    for (DWORD code : { 1801ul, 5ul, 0x2000ABCDul }) {
        SCOPED_TRACE(code);
        BoxWatcher watcher;
        SetLastError(code);
        displayLastError();
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(code) } }), watcher.boxes());
    }
}

TEST(MessageBoxes, TextsLongerThanTheirBuffersAreCutNeverOverrun)
{
    const std::string huge(5000, 'x');
    {
        BoxWatcher watcher;
        displayMsg2("Couldn't find printer: ", huge.c_str());
        std::vector<Box> boxes = watcher.boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(0u, boxes[0].text.find("Couldn't find printer:  xxx"));
        EXPECT_LT(boxes[0].text.size(), huge.size());
    }

    // A system text longer than any buffer: cut at the buffer, terminated,
    // and nothing written past it.
    char buffer[1024 + 16];
    memset(buffer, '#', sizeof buffer);
    formatLastError(buffer, 1024, 5, huge.c_str());
    EXPECT_EQ(1023u, strlen(buffer));
    EXPECT_EQ(0, strncmp(buffer, "failure with error 5: xxx", 25));
    for (size_t i = 1024; i < sizeof buffer; i++)
        EXPECT_EQ('#', buffer[i]) << "overrun at " << i;
}

}  // namespace
