// What the computer around the program may do in the middle of a firmware
// send: end the session, end the program's process, ask it to close, leave
// it with a print server that stops answering. None of it may cut a flash
// short, and the printer must never take half an image for a whole one.
// Each row is one run of the real program, sending to a printer that reads
// 200 KB/s (the image takes about 10 s), or to a queue of a CUPS daemon
// stopped (SIGSTOP) before the send; support/scenario.sh runs the case.
#include <gtest/gtest.h>

#include <regex>

#include "program.h"

namespace {

enum Interruption {
    NOTHING, END_SESSION, SESSION_ENDS_ANYWAY, SESSION_ENDS_PROGRAM_GOES_ON, END_PROCESS, CLOSE_REQUEST,
    WINDOW_MENU_CLOSE
};
enum Outcome { FACE, FACE_THEN_END, PROGRAM_GONE, BOX, BOX_THEN_END };

struct Row {
    const char *name;
    bool network;          // else the spooler, its CUPS daemon stopped before the send
    Interruption what;
    bool inSettleWait;     // else while the image goes out
    DWORD sessionEnds;     // wineboot's exit code: 1, a window said no; 0, the session ended
    Outcome outcome;
    const char *ended;     // how the printer's connection ended; "": no job
};

// The program's own calls that keep the computer awake, in order, from Wine's
// trace of them (WINEDEBUG=warn+ntdll): "0024:warn:ntdll:NtSetThreadExecutionState
// (0x80000001, ...)", the thread's id first.
std::vector<std::string> awakeCalls(DWORD thread)
{
    char prefix[64];
    snprintf(prefix, sizeof prefix, "%04lx:warn:ntdll:NtSetThreadExecutionState (", (unsigned long)thread);
    std::vector<std::string> calls;
    const std::string trace = standardErrorSoFar();
    for (size_t at = trace.find(prefix); at != std::string::npos; at = trace.find(prefix, at + 1))
        calls.push_back(trace.substr(at + strlen(prefix), 10));
    return calls;
}

class Interruptions : public ProgramTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Interruptions, NeverCutAFlashShort)
{
    const Row &row = GetParam();
    const std::string image = firmwareImage();
    ASSERT_TRUE(start());
    if (row.network) {
        ASSERT_TRUE(enterHost("127.0.0.1"));
        printer::behaveNextTime("--read-rate 200000");
    } else {
        ASSERT_TRUE(chooseQueue("velmora-main"));
        ASSERT_TRUE(askScenarioScript("pause-cupsd"));
    }
    const DWORD thread = GetWindowThreadProcessId(program.dialog(), nullptr);
    AnswerWatcher answers(program.dialog());
    ASSERT_TRUE(program.alt('S'));
    // The bar counts to 1000 while a connection or job is open, and to 200
    // in the settle wait; a tenth of the image is with a slow printer.
    ASSERT_TRUE(waitUntil([&] {
        return row.inSettleWait ? program.progressMaximum() == 200
                                : program.progressMaximum() == 1000 && (!row.network || program.progressPosition() >= 100);
    }, 60000));

    DWORD sessionEnds = 0;
    switch (row.what) {
    case NOTHING: break;
    case END_SESSION: EXPECT_EQ(row.sessionEnds, sessionEnds = endSession()); break;
    case SESSION_ENDS_ANYWAY:
    case SESSION_ENDS_PROGRAM_GOES_ON:
        // "Shut down anyway": Windows says the session ends, and ends the
        // process soon after. The printer has seen the reset by then. Sent
        // by another program, or by the Restart Manager, which expects the
        // program to close itself, it leaves the process running.
        EXPECT_TRUE(SendMessageTimeoutA(program.dialog(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 5000, nullptr));
        EXPECT_EQ(1u, printer::waitForJobs(1, 10000).size()) << "the connection is still open";
        if (row.what == SESSION_ENDS_ANYWAY)
            program.terminate();
        break;
    case END_PROCESS: program.terminate(); break;
    case CLOSE_REQUEST: program.post(WM_CLOSE); break;
    case WINDOW_MENU_CLOSE: program.post(WM_SYSCOMMAND, SC_CLOSE); break;
    }
    if (!row.network && row.outcome != BOX) {
        ASSERT_TRUE(askScenarioScript("resume-cupsd"));
    }

    bool faceSeen = false;
    std::vector<Job> jobs;
    switch (row.outcome) {
    case FACE:
    case FACE_THEN_END:
        EXPECT_TRUE(faceSeen = waitForFace()) << "no face";
        EXPECT_TRUE(program.visible(IDC_FACE)) << "the face is not on screen";
        EXPECT_EQ(row.outcome == FACE_THEN_END, program.waitForExit(row.outcome == FACE_THEN_END ? 10000 : 0));
        EXPECT_EQ(row.outcome == FACE_THEN_END ? 0u : STILL_ACTIVE, program.exitCode());
        // Asked at Send Firmware to stay awake, let sleep once the wait is over.
        EXPECT_EQ(std::vector<std::string>({ "0x80000001", "0x80000000" }), awakeCalls(thread));
        break;
    case PROGRAM_GONE:
        EXPECT_TRUE(program.waitForExit(10000));
        break;
    case BOX:
        EXPECT_TRUE(boxes.waitForBoxes(1, 120000));
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_TIMEOUT) } }), boxes.boxes());
        // The print server answers again: the job the operator was told
        // failed must never print. A job that went on would be at the
        // printer within a second or two of the daemon going on.
        EXPECT_LE(answers.stop(), answerBoundMs()) << "ms the dialog left a message unanswered";
        ASSERT_TRUE(askScenarioScript("resume-cupsd"));
        jobs = printer::waitForJobs(1, 10000);
        if (!jobs.empty()) {
            // Under Wine the stopped daemon holds OpenPrinterA or, now and
            // then, EndDocPrinter, where Wine hands the whole job to CUPS:
            // its pause did nothing, and the job's thread cannot delete what
            // Wine no longer holds. The stand-in's row "silent at the
            // document's end" shows what Windows does. Even so, never a part.
            printf("todo_wine: the job given up reached the printer: %lu bytes, %s\n",
                   (unsigned long)jobs[0].data.size(), jobs[0].ended.c_str());
            EXPECT_TRUE(underWine());
            EXPECT_TRUE(jobs[0].data == image) << jobs[0].data.size() << " bytes at the printer";
        }
        return;
    case BOX_THEN_END:
        // The send was cut short: its box, then the dialog closes, as for a
        // close request.
        EXPECT_TRUE(boxes.waitForBoxes(1, 30000));
        EXPECT_EQ(std::vector<Box>({ { "Error", errorText(ERROR_CANCELLED) } }), boxes.boxes());
        EXPECT_TRUE(program.waitForExit(30000));
        EXPECT_EQ(0u, program.exitCode());
        break;
    }
    const DWORD longestUnanswered = answers.stop();
    if (row.outcome != PROGRAM_GONE) {
        EXPECT_LE(longestUnanswered, answerBoundMs()) << "ms the dialog left a message unanswered";
    }
    jobs = printer::waitForJobs(row.ended[0] == '\0' ? 0 : 1, row.what == END_PROCESS ? 10000 : 60000);
    printf("%s: face %s, %s; wineboot %lu; the window answered within %lu ms; at the printer: %s\n", row.name,
           faceSeen ? "shown" : "not shown", program.running() ? "running" : "ended",
           (unsigned long)sessionEnds, (unsigned long)longestUnanswered,
           jobs.empty() ? "nothing" : (std::to_string(jobs[0].data.size()) + " bytes, " + jobs[0].ended).c_str());
    if (row.what == END_PROCESS && jobs.empty()) {
        // Wine's server sometimes keeps the socket of a program it has ended
        // (about one kill in twenty here): the connection stays open, idle,
        // held by the server alone, until the server ends. On Windows the
        // process's handles close with it. Every socket held so (one for
        // each kill that met this) must still be set to reset when it goes.
        std::string holders;
        ASSERT_TRUE(askScenarioScript("sender-socket 9100", &holders));
        printf("todo_wine: the printer saw no end; who holds the connection: %s", holders.c_str());
        EXPECT_TRUE(underWine());
        EXPECT_TRUE(std::regex_match(holders, std::regex("(wineserver\\w* linger=1,0\n)+"))) << holders;
        return;
    }
    if (row.ended[0] == '\0') {
        EXPECT_EQ(0u, printer::connectionsAccepted());
        return;
    }
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ(0u, jobs[0].ended.find(row.ended)) << jobs[0].ended;
    EXPECT_TRUE(image.compare(0, jobs[0].data.size(), jobs[0].data) == 0) << "not the image's first bytes";
    EXPECT_EQ(jobs[0].ended == "closed by sender", jobs[0].data.size() == image.size())
        << jobs[0].data.size() << " bytes, " << jobs[0].ended;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Interruptions,
    ::testing::Values(
        Row{ "session_ends_mid_send", true, END_SESSION, false, 1, FACE, "closed by sender" },
        Row{ "session_ends_in_the_settle_wait", true, END_SESSION, true, 0, PROGRAM_GONE, "closed by sender" },
        Row{ "session_ends_anyway_mid_send", true, SESSION_ENDS_ANYWAY, false, 0, PROGRAM_GONE, "reset by sender" },
        Row{ "session_ends_but_the_program_goes_on", true, SESSION_ENDS_PROGRAM_GOES_ON, false, 0, BOX_THEN_END,
             "reset by sender" },
        Row{ "process_ended_mid_send", true, END_PROCESS, false, 0, PROGRAM_GONE, "reset by sender" },
        Row{ "close_request_mid_send", true, CLOSE_REQUEST, false, 0, FACE_THEN_END, "closed by sender" },
        Row{ "window_menu_close_mid_send", true, WINDOW_MENU_CLOSE, false, 0, FACE_THEN_END, "closed by sender" },
        Row{ "session_ends_while_the_print_server_hangs", false, END_SESSION, false, 1, FACE, "closed by sender" },
        Row{ "print_server_never_answers", false, NOTHING, false, 0, BOX, "" }),
    [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

}  // namespace
