// The test kit: what every test needs to see the program from outside (the
// message boxes it shows, the jobs that reach the printer simulator), the
// fixed values tests expect, and where the programs under test are.
#ifndef FLASH_TESTS_SUPPORT_H
#define FLASH_TESTS_SUPPORT_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "todo_wine.h"

// The configuration-page request as the printer must receive it: 49 bytes,
// one bare line feed.
extern const std::string CONFIG_REQUEST;
// The settle wait after a firmware send.
const DWORD SETTLE_MS = 20000;

// How long a program may take to start (its dialog up, or a box it shows
// during start-up, or its end after a start-up failure): FLASH_START_SECONDS
// when set, else 15 seconds.
DWORD startMs();

// A program under test by its path relative to a build tree: below
// FLASH_TESTED_PROGRAM_TREE (the tree the program under test is taken from)
// when set, else below FLASH_TEST_TREE (the ctest build tree of this test).
std::string programPath(const std::string &relative);

// Polls `condition` every 20 ms until it holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()> &condition, DWORD timeoutMs);

// The system's text for an error code, as FormatMessage gives it; "" if none.
std::string systemText(DWORD code);
// What the program says of a call that failed with `code` (its boxes of
// caption "Error"): the words are stated here once; each test checks which
// code a failure reports.
std::string errorText(DWORD code);
struct Box {
    std::string caption;
    std::string text;
    bool operator==(const Box &other) const { return caption == other.caption && text == other.text; }
};
std::ostream &operator<<(std::ostream &out, const Box &box);

// Watches for owner-less message boxes with one of the program's captions
// ("Info", "Error", "Failure!"), in this process or any other on the desktop,
// the way an operator sees them: it reads each box's text and presses OK.
// Keep one alive at a time: two would race for each box.
class BoxWatcher {
public:
    BoxWatcher();
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher &) = delete;
    BoxWatcher &operator=(const BoxWatcher &) = delete;

    // Whether it presses OK on the boxes it reads (from its start: yes).
    // Left open, a box is the test's to answer.
    void answer(bool yes) { InterlockedExchange(&answer_, yes ? 1 : 0); }
    // The boxes seen so far, in the order they appeared.
    std::vector<Box> boxes();
    // Waits until at least `count` boxes were seen; false on time-out.
    bool waitForBoxes(size_t count, DWORD timeoutMs);
    // Waits until no box with one of the captions is open and the program
    // that owns `dialog` is not about to open another; false on time-out.
    static bool waitUntilAllClosed(HWND dialog);

private:
    static DWORD WINAPI run(void *self);
    void look();

    HANDLE thread_;
    volatile LONG stop_;
    volatile LONG answer_ = 1;
    CRITICAL_SECTION lock_;
    std::vector<Box> seen_;
    std::vector<HWND> handled_;
};

// A job as the printer simulator recorded it.
struct Job {
    std::string data;    // every byte received
    std::string ended;   // "closed by sender", "reset by printer after N bytes", ...
    // What the printer's system held when the job was recorded: bytes read
    // or arrived unread, and whether the sender's end had arrived. For a
    // printer that vanished, all it ever had.
    size_t held;
    bool end;
    // Once the printer is done with the connection: "reset" when the
    // sender's system reset it after the job's end, "in order" when not; ""
    // until then.
    std::string afterEnd;
};

// The printer simulator that tools/services.sh runs on 127.0.0.1:9100.
namespace printer {
// Forgets earlier jobs and any pending behaviour.
void clear();
// Options of tools/printer_sim.py for the next connection only.
void behaveNextTime(const std::string &options);
// Waits for `count` finished jobs; returns those there are after the wait.
std::vector<Job> waitForJobs(size_t count, DWORD timeoutMs);
// Connections taken since clear(), finished or not.
size_t connectionsAccepted();
}  // namespace printer

// The printers the spooler lists to any program, in its order; `needed` gets
// the size of their level-1 records.
std::vector<std::string> spoolerPrinters(DWORD *needed = nullptr);

// Has tests/support/scenario.sh, which runs this case, carry out `command`
// outside Wine (see there); its output goes to `output`. False if it failed
// or no script answered.
bool askScenarioScript(const std::string &command, std::string *output = nullptr);

// The firmware image that the build embeds (res/firmware.bin of the build
// tree); empty, and a failure, unless its size is the one SHA256SUMS states.
std::string firmwareImage();

// A Windows path for a Unix path, through Wine's Z: drive.
std::string windowsPath(const std::string &unixPath);
std::string environment(const char *name);
std::string readFile(const std::string &path);

// Ends the session as Windows does at log-off, restart or shut-down:
// wineboot --end-session asks every window with WM_QUERYENDSESSION. Its exit
// code: 0 when the session ended, 1 when a window said no.
DWORD endSession();
// What this process has written to its standard error so far, with the
// programs it started: wine-run collects it all in one file (FLASH_OUTPUT),
// Wine's traces (WINEDEBUG) among it.
std::string standardErrorSoFar();


// The longest a program's window may leave a message unanswered: 250 ms, or
// ten times that where the program runs emulated (FLASH_START_SECONDS), where
// every step takes about ten times as long. Windows calls a window hung
// after 5 s.
DWORD answerBoundMs();

// Asks a window every 20 ms from a thread of its own whether it answers, as
// Windows does before it calls a window hung; with a progress bar, reads the
// bar's position each time too.
class AnswerWatcher {
public:
    explicit AnswerWatcher(HWND window, HWND bar = nullptr);
    ~AnswerWatcher() { stop(); }
    DWORD stop();                      // stops asking; the longest wait for an answer, in ms
    std::vector<int> barPositions();   // stops; the bar's positions as they changed

private:
    static DWORD WINAPI run(void *self);
    HWND window_, bar_;
    HANDLE thread_;
    volatile LONG stop_ = 0;
    DWORD longest_ = 0;
    std::vector<int> positions_;
};

#endif
