// What displayLastError says for a code. The other boxes' texts are checked
// where a delivery or the dialog shows them; a host name longer than its box
// is cut, never overrun, in NetworkDelivery.FailuresShowTheirBoxAndReturnZero.
#include <gtest/gtest.h>

#include "messages.h"
#include "test_support.h"

namespace {

TEST(MessageBoxes, LastErrorAsksForAPrinterOrGivesTheCodeAndTheSystemsText)
{
    // An unknown printer; a code with a system text; one whose text has an
    // insert ("%1 is not a valid Win32 application."), which the library
    // loader can meet; one without a text.
    ASSERT_EQ("", systemText(0x2000ABCD));
    ASSERT_NE(std::string::npos, systemText(ERROR_BAD_EXE_FORMAT).find("%1")) << systemText(ERROR_BAD_EXE_FORMAT);
    for (DWORD code : { 1801ul, 5ul, (DWORD)ERROR_BAD_EXE_FORMAT, 0x2000ABCDul }) {
        SCOPED_TRACE(code);
        BoxWatcher watcher;
        SetLastError(code);
        displayLastError();
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(code) } }), watcher.boxes());
    }
}

}  // namespace
