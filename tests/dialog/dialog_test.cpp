// The updater as an operator meets it: the real program under Wine, driven
// with keys and clicks, its windows read back, its jobs read at the printer
// simulator. Each successful firmware send costs the 20-second settle wait,
// so only three tests make one.
#include <gtest/gtest.h>

#include <winspool.h>

#include <stdio.h>

#include <algorithm>
#include <ostream>

#include "driver.h"
#include "test_support.h"

namespace {

const std::string CONFIG_REQUEST("\x1b%-12345X@PJL DEFAULT TESTPAGE=SELFTEST\n\x1b%-12345X");
const DWORD SETTLE_MS = 20000;


std::string systemText(DWORD code)
{
    char text[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0x0400, text, sizeof text, nullptr);
    return text;
}

// Waits until the program's boxes are gone and it is back in its dialog.
void waitForBoxesClosed()
{
    waitUntil([] { return !FindWindowA("#32770", "Info") && !FindWindowA("#32770", "Error"); }, 10000);
    Sleep(300);
}

// What happened between pressing Send Firmware and the smiling face.
struct Settle {
    DWORD faceAfterMs = 0;           // from the key press; 0 if no face came
    bool waitStarted = false;        // Send Firmware turned disabled
    bool allDisabled = false;        // and the other two with it
    Buttons enabledDuringWait = { false, false, false, false };   // any seen enabled
};

// Presses Alt+S and watches the settle wait until the face is set.
Settle sendFirmware(Program &program)
{
    Settle settle;
    DWORD pressed = GetTickCount();
    program.alt('S');
    settle.waitStarted = waitUntil([&] { return !program.enabled(SEND_BUTTON); }, 60000);
    // The program disables the three one after the other.
    settle.allDisabled = waitUntil([&] {
        Buttons now = buttons(program);
        return !now.send && !now.exit && !now.config;
    }, 3000);
    waitUntil([&] {
        // Buttons first: if the face is still missing after, they were read
        // before the program set it, that is during the wait.
        Buttons now = buttons(program);
        if (program.faceImage() != nullptr)
            return true;
        settle.enabledDuringWait.send |= now.send;
        settle.enabledDuringWait.exit |= now.exit;
        settle.enabledDuringWait.config |= now.config;
        return false;
    }, SETTLE_MS + 60000);
    if (program.faceImage() != nullptr)
        settle.faceAfterMs = GetTickCount() - pressed;
    return settle;
}

void expectSettledAfterSuccess(const Program &program, const Settle &settle)
{
    EXPECT_TRUE(settle.waitStarted);
    EXPECT_TRUE(settle.allDisabled);
    EXPECT_EQ((Buttons{ false, false, false, false }), settle.enabledDuringWait) << "enabled during the wait";
    EXPECT_GE(settle.faceAfterMs, SETTLE_MS) << "0: no face";
    EXPECT_NE(nullptr, program.faceImage());
    waitUntil([&] { return program.enabled(EXIT_BUTTON); }, 5000);
    EXPECT_EQ(AFTER_FIRMWARE, buttons(program));
    EXPECT_GT(program.progressMaximum(), 0);
    EXPECT_EQ(program.progressMaximum(), program.progressPosition()) << "bar not full";
}

void expectOneJob(const std::string &expected, DWORD timeoutMs)
{
    std::vector<Job> jobs = printer::waitForJobs(1, timeoutMs);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_TRUE(jobs[0].data == expected) << "received " << jobs[0].data.size() << " bytes, expected "
                                          << expected.size();
}

class Dialog : public ::testing::Test {
protected:
    void SetUp() override { printer::clear(); }

    void start(const char *path = FLASH_PROGRAM)
    {
        ASSERT_TRUE(program.start(path));
        ASSERT_TRUE(program.waitForDialog());
        ASSERT_TRUE(program.activate());
    }

    void enterHost(const std::string &host)
    {
        ASSERT_TRUE(program.toggleMode());
        program.click(HOST_BOX);
        program.type(host);
        ASSERT_EQ(host, program.text(HOST_BOX));
    }

    BoxWatcher boxes;
    Program program;   // ended before the watcher stops
};

TEST_F(Dialog, StartsInLocalModeWithEveryQueueListedAndNoneChosen)
{
    start();
    EXPECT_TRUE(program.visible(PRINTER_LIST));
    EXPECT_TRUE(program.visible(PRINTER_LABEL));
    EXPECT_EQ("Select Printer to Update:", program.text(PRINTER_LABEL));
    EXPECT_FALSE(program.visible(HOST_BOX));
    EXPECT_FALSE(program.visible(HOST_LABEL));

    std::vector<std::string> listed = program.printers();
    EXPECT_EQ(spoolerPrinters(), listed);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ((std::vector<std::string>{ "velmora-annex", "velmora-basement", "velmora-main", "velmora-rejects" }),
              listed);
    EXPECT_EQ(-1, program.chosenPrinter());
    EXPECT_EQ("", program.text(PRINTER_LIST));

    EXPECT_EQ(AT_START, buttons(program));
    EXPECT_TRUE(program.visible(SEND_BUTTON));
    EXPECT_TRUE(program.visible(EXIT_BUTTON));
    EXPECT_EQ(nullptr, program.faceImage());
    ASSERT_NE(nullptr, program.progressBar());
    EXPECT_EQ(0, program.progressPosition());
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

TEST_F(Dialog, ModeToggledTwiceKeepsChoiceAndHostText)
{
    start();
    ASSERT_TRUE(program.choosePrinter(1));
    const std::string chosen = program.printers()[1];
    EXPECT_EQ(chosen, program.text(PRINTER_LIST));

    ASSERT_TRUE(program.toggleMode());
    EXPECT_TRUE(program.visible(HOST_BOX));
    EXPECT_TRUE(program.visible(HOST_LABEL));
    EXPECT_EQ("Enter network printer name or IP address:", program.text(HOST_LABEL));
    EXPECT_FALSE(program.visible(PRINTER_LIST));
    EXPECT_FALSE(program.visible(PRINTER_LABEL));
    program.click(HOST_BOX);
    program.type("lab-printer.7");

    ASSERT_TRUE(program.toggleMode());
    EXPECT_TRUE(program.visible(PRINTER_LIST));
    EXPECT_TRUE(program.visible(PRINTER_LABEL));
    EXPECT_FALSE(program.visible(HOST_BOX));
    EXPECT_FALSE(program.visible(HOST_LABEL));
    EXPECT_EQ(1, program.chosenPrinter());
    EXPECT_EQ(chosen, program.text(PRINTER_LIST));
    EXPECT_EQ("lab-printer.7", program.text(HOST_BOX));
    EXPECT_EQ(AT_START, buttons(program));
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

TEST_F(Dialog, FirmwareToNetworkPrinterThenConfigurationPageWithEnter)
{
    start();
    enterHost("127.0.0.1");
    Settle settle = sendFirmware(program);
    expectOneJob(firmwareImage(), 10000);
    expectSettledAfterSuccess(program, settle);
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];

    // Enter reaches the hidden default button once the focus is back in a box.
    program.click(HOST_BOX);
    program.press(VK_RETURN);
    ASSERT_TRUE(boxes.waitForBoxes(1, 15000)) << program.focusReport();
    EXPECT_EQ(std::vector<Box>({ { "Info", "Sent Configuration Page" } }), boxes.boxes());
    std::vector<Job> jobs = printer::waitForJobs(2, 10000);
    ASSERT_EQ(2u, jobs.size());
    EXPECT_EQ(CONFIG_REQUEST, jobs[1].data);
    EXPECT_EQ(49u, jobs[1].data.size());
    waitForBoxesClosed();
    EXPECT_EQ(AFTER_FIRMWARE, buttons(program));
}

TEST_F(Dialog, FirmwareThroughSpoolerQueue)
{
    start();
    std::vector<std::string> listed = program.printers();
    int main = (int)(std::find(listed.begin(), listed.end(), "velmora-main") - listed.begin());
    ASSERT_LT(main, (int)listed.size());
    ASSERT_TRUE(program.choosePrinter(main));
    EXPECT_EQ("velmora-main", program.text(PRINTER_LIST));

    Settle settle = sendFirmware(program);
    expectOneJob(firmwareImage(), 30000);
    expectSettledAfterSuccess(program, settle);
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

TEST_F(Dialog, FailedSendsShowTheirBoxAndChangeNothing)
{
    struct {
        const char *what;
        const char *host;   // network mode with this host; null: local mode, nothing chosen
        Box expected;
    } cases[] = {
        // Nothing listens on 127.0.0.2.
        { "refused connection", "127.0.0.2", { "Info", "Unable to connect to port 9100 on device" } },
        { "no printer chosen", nullptr, { "Error", "Please select printer in drop-down box" } },
    };
    // One program each; the fixture's watcher sees all boxes (a second
    // watcher would race it for each box).
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        printer::clear();
        const size_t earlier = boxes.boxes().size();
        Program tried;
        ASSERT_TRUE(tried.start(FLASH_PROGRAM));
        ASSERT_TRUE(tried.waitForDialog());
        if (c.host != nullptr) {
            ASSERT_TRUE(tried.toggleMode());
            tried.click(HOST_BOX);
            tried.type(c.host);
        }
        Buttons before = buttons(tried);
        EXPECT_EQ(AT_START, before);
        tried.alt('S');
        ASSERT_TRUE(boxes.waitForBoxes(earlier + 1, 15000)) << tried.focusReport();
        waitForBoxesClosed();
        std::vector<Box> seen = boxes.boxes();
        EXPECT_EQ(std::vector<Box>{ c.expected }, std::vector<Box>(seen.begin() + earlier, seen.end()));
        EXPECT_EQ(before, buttons(tried));
        EXPECT_EQ(nullptr, tried.faceImage());
        EXPECT_TRUE(printer::waitForJobs(1, 500).empty()) << "something reached the printer";
    }
}

TEST_F(Dialog, ExitWithAltXEndsWithStatus0)
{
    start();
    program.alt('X');
    ASSERT_TRUE(program.waitForExit(15000));
    EXPECT_EQ(0u, program.exitCode());
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

TEST_F(Dialog, ClosedDuringSettleWaitEndsWithStatus0OnlyAfterTheWait)
{
    start();
    enterHost("127.0.0.1");
    DWORD pressed = GetTickCount();
    program.alt('S');
    ASSERT_TRUE(waitUntil([&] { return !program.enabled(SEND_BUTTON); }, 30000));
    program.post(WM_CLOSE);
    ASSERT_TRUE(program.waitForExit(SETTLE_MS + 60000));
    EXPECT_EQ(0u, program.exitCode());
    EXPECT_GE(program.endedAt() - pressed, SETTLE_MS);
    expectOneJob(firmwareImage(), 10000);
    EXPECT_TRUE(boxes.boxes().empty()) << boxes.boxes()[0];
}

TEST_F(Dialog, FailingWSAStartupShowsItsCodeAndEndsWithStatus1)
{
    // Wine loads the wsock32.dll beside the program instead of its own only
    // with this override, and hands a child the one of its parent's own
    // environment: tests/dialog/CMakeLists.txt sets it for this test.
    ASSERT_NE(std::string::npos, environment("WINEDLLOVERRIDES").find("wsock32=n"));
    ASSERT_TRUE(program.start(FLASH_PROGRAM_WSASTARTUP_FAILS));
    ASSERT_TRUE(boxes.waitForBoxes(1, 15000));
    ASSERT_TRUE(program.waitForExit(15000));
    EXPECT_EQ(1u, program.exitCode());
    EXPECT_EQ(std::vector<Box>({ { "Error", "WSAError: WSAStartup: 10091" } }), boxes.boxes());
}

TEST_F(Dialog, WithoutImageTellsAtStartSendsNothingButStillSendsConfiguration)
{
    start(FLASH_PROGRAM_NOIMAGE);
    const DWORD resourceTypeNotFound = 1813;
    ASSERT_FALSE(systemText(resourceTypeNotFound).empty());
    EXPECT_EQ(std::vector<Box>({ { "Error", "failure with error 1813: " + systemText(resourceTypeNotFound) } }),
              boxes.boxes());
    enterHost("127.0.0.1");

    program.alt('S');
    ASSERT_TRUE(boxes.waitForBoxes(2, 15000)) << program.focusReport();
    waitForBoxesClosed();
    EXPECT_EQ((Box{ "Error", "No firmware image in this program: nothing was sent" }), boxes.boxes().back());
    EXPECT_EQ(AT_START, buttons(program));
    EXPECT_EQ(nullptr, program.faceImage());
    EXPECT_TRUE(printer::waitForJobs(1, 500).empty()) << "something reached the printer";

    // Print Config stays disabled without a firmware send: Enter does not
    // reach it, so its command is posted, as the hidden button would send it.
    program.click(HOST_BOX);
    program.press(VK_RETURN);
    EXPECT_TRUE(printer::waitForJobs(1, 1000).empty()) << "Enter reached the disabled Print Config";
    EXPECT_EQ(2u, boxes.boxes().size());
    program.post(WM_COMMAND, MAKEWPARAM(CONFIG_BUTTON, BN_CLICKED), (LPARAM)program.control(CONFIG_BUTTON));
    ASSERT_TRUE(boxes.waitForBoxes(3, 15000));
    EXPECT_EQ((Box{ "Info", "Sent Configuration Page" }), boxes.boxes().back());
    expectOneJob(CONFIG_REQUEST, 10000);
    waitForBoxesClosed();
    EXPECT_EQ((Buttons{ true, true, true, false }), buttons(program));
    EXPECT_EQ(3u, boxes.boxes().size());
}

}  // namespace
