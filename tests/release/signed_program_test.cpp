// A signed copy is still the program: under Wine it starts and sends its
// image to the printer byte for byte.
#include <gtest/gtest.h>

#include "program.h"

class SignedProgram : public ProgramTest {};

// Network mode by the posted Net command: the keys are the dialog tests' business.
TEST_F(SignedProgram, SendsItsImageUnchangedInNetworkModeSetByPostedCommand)
{
    ASSERT_TRUE(start("tests/release/signed/velmora-flash-signed.exe"));
    program.post(WM_COMMAND, MAKEWPARAM(IDC_NET, BN_CLICKED));
    ASSERT_TRUE(waitUntil([&] { return program.networkMode(); }, 5000));
    SendMessageA(program.control(IDC_HOST_EDIT), WM_SETTEXT, 0, (LPARAM) "127.0.0.1");
    program.post(WM_COMMAND, MAKEWPARAM(IDC_SEND_FIRMWARE, BN_CLICKED));

    std::vector<Job> jobs = printer::waitForJobs(1, 30000);
    ASSERT_EQ(1u, jobs.size());
    const std::string image = firmwareImage();
    EXPECT_TRUE(jobs[0].data == image) << "received " << jobs[0].data.size() << " bytes";
    expectNoBox();
}
