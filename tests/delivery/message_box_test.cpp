// The message boxes: exact texts and captions, and texts longer than their
// buffers cut rather than overrun.
#include <gtest/gtest.h>

#include <string.h>

#include "flash.h"
#include "test_support.h"

namespace {

TEST(MessageBoxes, ShowExactTextAndCaption)
{
    struct {
        const char *what;
        void (*show)();
        Box expected;
    } cases[] = {
        { "displayMsg1", [] { displayMsg1("Sent Configuration Page"); }, { "Info", "Sent Configuration Page" } },
        { "displayMsg2", [] { displayMsg2("Couldn't find printer: ", "lab-4"); },
          { "Info", "Couldn't find printer:  lab-4" } },
        { "displayMsg2, the longest host name whole", [] { displayMsg2("Couldn't find printer: ", std::string(254, 'h').c_str()); },
          { "Info", "Couldn't find printer:  " + std::string(254, 'h') } },
        { "displayWSAError", [] { WSASetLastError(10054); displayWSAError("send"); },
          { "Error", "WSAError: send: 10054" } },
        { "displayLastError 1801", [] { SetLastError(1801); displayLastError(); },
          { "Error", "Please select printer in drop-down box" } },
        { "displayLastError 5", [] { SetLastError(5); displayLastError(); },
          { "Error", "failure with error 5: Access denied.\r\n" } },
        { "displayLastError, no system text", [] { SetLastError(0x2000ABCD); displayLastError(); },
          { "Error", "failure with error 536914893: (the system has no text for this code)" } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        BoxWatcher watcher;
        c.show();
        EXPECT_EQ(std::vector<Box>{ c.expected }, watcher.boxes());
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
