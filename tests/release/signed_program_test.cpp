// A signed copy is still the program: under Wine it starts and sends its
// image to the printer byte for byte.
#include <gtest/gtest.h>

#include "driver.h"
#include "test_support.h"

TEST(SignedProgram, SendsItsImageUnchanged)
{
    printer::clear();
    Program program;
    ASSERT_TRUE(program.start(SIGNED_PROGRAM));
    ASSERT_TRUE(program.waitForDialog());
    program.post(WM_COMMAND, MAKEWPARAM(NET_BUTTON, BN_CLICKED));
    ASSERT_TRUE(waitUntil([&] { return program.networkMode(); }, 5000));
    SendMessageA(program.control(HOST_BOX), WM_SETTEXT, 0, (LPARAM) "127.0.0.1");
    program.post(WM_COMMAND, MAKEWPARAM(SEND_BUTTON, BN_CLICKED));

    std::vector<Job> jobs = printer::waitForJobs(1, 30000);
    ASSERT_EQ(1u, jobs.size());
    const std::string image = firmwareImage();
    EXPECT_EQ(2097219u, image.size());
    EXPECT_TRUE(jobs[0].data == image) << "received " << jobs[0].data.size() << " bytes";
}
