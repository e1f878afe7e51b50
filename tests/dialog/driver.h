// Drives the updater from outside, the way an operator does: starts the
// program, finds its dialog, presses keys and clicks with SendInput, and
// reads the dialog's state back from its windows.
#ifndef FLASH_TESTS_DRIVER_H
#define FLASH_TESTS_DRIVER_H

#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// The ids of the dialog's controls, as the program's dialog template has them.
enum Control {
    EXIT_BUTTON = 1000,
    SEND_BUTTON = 1001,
    CONFIG_BUTTON = 1002,   // the "Progress" group box has this id too, after the button
    NET_BUTTON = 1003,
    PRINTER_LIST = 1004,
    HOST_BOX = 1006,
    FACE = 1007,
    HOST_LABEL = 1020,
    PRINTER_LABEL = 1021,
};

// Polls `condition` every 20 ms until it holds or `timeoutMs` passed.
bool waitUntil(const std::function<bool()> &condition, DWORD timeoutMs);

// Sends keys to whatever window is active, as a keyboard would.
namespace keyboard {
void press(WORD key);                  // one key, down and up
void alt(char letter);                 // Alt+letter, e.g. alt('S')
void type(const std::string &text);    // only characters the keyboard layout has
}  // namespace keyboard

class Program {
public:
    static const char *const CAPTION;

    Program();
    // Ends the program if it still runs: later tests start from a clean desktop.
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Starts the program (a Unix path) with `environment` ("NAME=value")
    // added to this process's own. False when it cannot be started. (Wine
    // gives a child the WINEDLLOVERRIDES of this process, whatever the block.)
    bool start(const std::string &unixPath, const std::vector<std::string> &environment = {});
    // Waits until the dialog is on screen, its start-up done. False on time-out.
    bool waitForDialog(DWORD timeoutMs = 15000);

    HWND dialog() const { return dialog_; }
    HWND control(Control id) const;
    HWND progressBar() const;

    // Operator actions. A click lands on the middle of the control's screen
    // rectangle. Keys go to the active window: the dialog is made active
    // first unless a window of the program already is.
    bool activate();
    void click(Control id);
    void alt(char letter);
    void press(WORD key);
    void type(const std::string &text);
    // Network/local mode through the zero-size "&Net" button: Alt+N, and
    // Space if that only focused it (Wine). Falls back to posting its command
    // when the button did not react; returns false if even that did not toggle.
    bool toggleMode();
    // Chooses `index` in the drop-down list: a click opens it, Home, Down...
    // and Enter choose. False if the list did not open or shows another choice.
    bool choosePrinter(int index);
    // Posts a command or message without waiting: some open modal boxes.
    void post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // States, read across processes.
    bool enabled(Control id) const;
    bool visible(Control id) const;
    std::string text(Control id) const;
    std::vector<std::string> printers() const;
    int chosenPrinter() const;            // CB_GETCURSEL: -1 for none
    bool networkMode() const;             // the host box shown, the list hidden
    HANDLE faceImage() const;             // STM_GETIMAGE: null until the face is set
    int progressPosition() const;
    int progressMaximum() const;

    // Where the keyboard goes now, for messages of failed checks.
    std::string focusReport() const;

    // The process.
    bool running() const;
    // Waits for the process to end; false on time-out. `exitCode` and
    // `endedAt` (GetTickCount) are then set.
    bool waitForExit(DWORD timeoutMs);
    DWORD exitCode() const { return exitCode_; }
    DWORD endedAt() const { return endedAt_; }
    void terminate();

private:
    LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) const;

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

#endif
