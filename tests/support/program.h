// Drives the updater from outside, the way an operator does: starts the
// program, finds its dialog, presses keys and clicks with SendInput, and
// reads the dialog's state back from its windows.
#ifndef FLASH_TESTS_PROGRAM_H
#define FLASH_TESTS_PROGRAM_H

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "resource.h"
#include "test_support.h"

// The programs under test, relative to the program tree (programPath).
extern const char *const UPDATER;                 // the updater as shipped
extern const char *const UPDATER_WITHOUT_IMAGE;   // built without the firmware image

// A step a test cannot go past when it fails: the result says what was done
// and what was seen, and the caller stops there (ASSERT_TRUE).
#define STEP testing::AssertionResult __attribute__((warn_unused_result))

class Program {
public:
    static const char *const CAPTION;

    Program();
    // Ends the program if it still runs: later tests start from a clean desktop.
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Starts a program of the program tree (e.g. UPDATER), in the working
    // folder `folder` (a Windows path; null: this process's). (Wine gives a
    // child the WINEDLLOVERRIDES of this process.)
    STEP start(const char *program, const char *folder = nullptr);
    // Waits until the dialog is on screen, its start-up done. False on time-out.
    bool waitForDialog();

    HWND control(int id) const;
    HWND progressBar() const;
    HWND dialog() const { return dialog_; }

    // Operator actions. A click lands on the middle of the control's screen
    // rectangle once the pointer is seen there. Clicks and keys go to the
    // active window: the dialog is made active first unless a window of the
    // program already is.
    STEP activate();
    STEP click(int id);
    STEP alt(WORD key);   // a letter ('S') or a virtual key (VK_F4)
    STEP press(WORD key);
    STEP type(const std::string &text);
    // Network/local mode with the keys of the zero-size "&Net" button: Alt+N,
    // and Space when Alt+N only focused it (as Wine does). `byAltN`, if
    // given, tells whether Alt+N alone did it.
    STEP toggleModeWithKeys(bool *byAltN = nullptr);
    // Tab until control `id` has the focus.
    STEP tabTo(int id);
    // Chooses `index` in the drop-down list: a click opens it, Home, Down...
    // and Enter choose.
    STEP choosePrinter(int index);
    // Posts a command or message without waiting: some open modal boxes.
    void post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // States, read across processes.
    bool enabled(int id) const;
    bool visible(int id) const;
    std::string text(int id) const;
    std::vector<std::string> printers() const;
    int chosenPrinter() const;            // CB_GETCURSEL: -1 for none
    bool networkMode() const;             // the host box shown, the list hidden
    HANDLE faceImage() const;             // STM_GETIMAGE: null until the face is set
    int progressPosition() const;
    int progressMaximum() const;

    int focusedControl() const;           // the id of the control with the focus; -1 for none
    // Where the keyboard goes now, for messages of failed checks.
    std::string focusReport() const;

    // Whether the dialog's thread answers a message within 10 s. It looks at
    // its messages only in the dialog's loop, in a box, or during a send or
    // the settle wait: so once the face is set, an answer means that the
    // command is over and the buttons are as it left them.
    bool answers() const;

    // The process.
    bool running() const;
    // Ends it from outside, as Task Manager's End task does at last.
    void terminate();
    // Waits for the process to end; false on time-out. `exitCode` and
    // `endedAt` (GetTickCount) are then set.
    bool waitForExit(DWORD timeoutMs);
    DWORD exitCode() const { return exitCode_; }
    DWORD endedAt() const { return endedAt_; }

private:
    LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) const;
    // Sends keys once a window of the program is active.
    STEP keys(const std::string &what, const std::function<void()> &sendKeys);

    PROCESS_INFORMATION process_;
    HWND dialog_;
    DWORD exitCode_;
    DWORD endedAt_;
};

// What the operator sees of the three buttons.
struct Buttons {
    bool send, exit, config, configShown;
    bool operator==(const Buttons &o) const
    {
        return send == o.send && exit == o.exit && config == o.config && configShown == o.configShown;
    }
};
std::ostream &operator<<(std::ostream &out, const Buttons &b);
Buttons buttons(const Program &program);

extern const Buttons AT_START;         // Send Firmware and Exit; Print Config hidden, disabled
extern const Buttons AFTER_FIRMWARE;   // Exit, and Print Config enabled but still hidden

// One run of the real program, its boxes watched, the printer simulator
// cleared. The dialog tests and the spooler fault scenarios both use it.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { printer::clear(); }

    // Starts `program` and waits for its dialog, made active.
    STEP start(const char *program = UPDATER);
    // Network mode by its keys, then the host typed into the host box.
    STEP enterHost(const std::string &host);
    // Opens the drop-down list and chooses `queue`.
    STEP chooseQueue(const std::string &queue);
    // Presses Send Firmware; returns the boxes it brought, once all are closed.
    std::vector<Box> sendAndReadBoxes();
    // Waits for the smiling face after a firmware send, and for the command
    // to be over.
    bool waitForFace();
    // The program still answers as before: the buttons are `expected`, the
    // mode toggles, and Exit ends it with status 0.
    void expectStillUsable(const Buttons &expected);
    // No box has been seen.
    void expectNoBox();

    BoxWatcher boxes;
    Program program;   // ended before the watcher stops
};

#endif
