#include "matrix_helpers.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <algorithm>
#include <fstream>
#include <iostream>

namespace {
const DWORD SETTLE_MS = 20000;
}

bool startProgram(Program &program)
{
    if (!program.start(FLASH_PROGRAM))
        return false;
    if (!program.waitForDialog()) {
        if (program.waitForExit(0))
            ADD_FAILURE() << "the program ended before its dialog showed, status 0x" << std::hex
                          << program.exitCode();
        return false;
    }
    return program.activate();
}

bool enterHost(Program &program, const std::string &host, bool byKeys)
{
    if (!program.toggleMode())
        return false;
    if (byKeys) {
        program.click(HOST_BOX);
        program.type(host);
    } else {
        DWORD_PTR done = 0;
        SendMessageTimeoutA(program.control(HOST_BOX), WM_SETTEXT, 0, (LPARAM)host.c_str(), SMTO_ABORTIFHUNG,
                            5000, &done);
    }
    return program.text(HOST_BOX) == host;
}

bool chooseQueue(Program &program, const std::string &queue)
{
    std::vector<std::string> listed = program.printers();
    size_t index = std::find(listed.begin(), listed.end(), queue) - listed.begin();
    return index < listed.size() && program.choosePrinter((int)index) && program.text(PRINTER_LIST) == queue;
}

static bool boxOpen()
{
    for (const char *caption : { "Info", "Error", "Failure!" })
        if (FindWindowA("#32770", caption) != nullptr)
            return true;
    return false;
}

std::vector<Box> sendAndReadBoxes(Session &session)
{
    size_t before = session.boxes.boxes().size();
    session.program.alt('S');
    if (!session.boxes.waitForBoxes(before + 1, 60000)) {
        ADD_FAILURE() << "no box within a minute; " << session.program.focusReport();
        return {};
    }
    // A second box would follow at once; give it the time to come.
    waitUntil([] { return !boxOpen(); }, 10000);
    Sleep(500);
    waitUntil([] { return !boxOpen(); }, 10000);
    std::vector<Box> seen = session.boxes.boxes();
    return std::vector<Box>(seen.begin() + before, seen.end());
}

bool waitForFace(Program &program)
{
    return waitUntil([&] { return program.faceImage() != nullptr; }, SETTLE_MS + 60000) &&
           waitUntil([&] { return program.enabled(EXIT_BUTTON); }, 5000);
}

void expectStillUsable(Program &program, const Buttons &expected)
{
    EXPECT_EQ(expected, buttons(program));
    bool network = program.networkMode();
    EXPECT_TRUE(program.toggleMode()) << "the mode did not toggle";
    EXPECT_NE(network, program.networkMode());
    program.alt('X');
    ASSERT_TRUE(program.waitForExit(15000)) << "Exit did not end it; " << program.focusReport();
    EXPECT_EQ(0u, program.exitCode());
}

void expectOneSpoolerFailureBox(const std::vector<Box> &seen)
{
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("Error", seen[0].caption);
    EXPECT_EQ(0u, seen[0].text.find("failure with error ")) << seen[0];
    std::cout << "the operator sees " << seen[0] << "\n";
}

void expectJobsAtPrinter(size_t count, DWORD ms)
{
    std::vector<Job> jobs = printer::waitForJobs(count + 1, ms);
    EXPECT_EQ(count, jobs.size()) << "jobs at the printer";
}

bool outside(const std::string &request, std::string *output)
{
    // The script polls for the request and answers with "ok" or "failed",
    // then what its commands printed.
    const std::string run = windowsPath(environment("FLASH_RUN_DIR"));
    const std::string requestFile = run + "\\matrix-request", answerFile = run + "\\matrix-answer";
    {
        std::ofstream out((requestFile + ".tmp").c_str(), std::ios::binary);
        out << request << "\n";
    }
    if (!MoveFileExA((requestFile + ".tmp").c_str(), requestFile.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    if (!waitUntil([&] { return GetFileAttributesA(answerFile.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000)) {
        DeleteFileA(requestFile.c_str());
        ADD_FAILURE() << "no answer to \"" << request.substr(0, 40) << "\": not run by matrix_scenario.sh?";
        return false;
    }
    std::string answer = readFile(answerFile);
    DeleteFileA(answerFile.c_str());
    size_t firstLine = answer.find('\n');
    if (output != nullptr)
        *output = firstLine == std::string::npos ? "" : answer.substr(firstLine + 1);
    if (answer.compare(0, firstLine, "ok") != 0) {
        ADD_FAILURE() << "\"" << request.substr(0, 40) << "\" failed outside Wine: " << answer;
        return false;
    }
    return true;
}
