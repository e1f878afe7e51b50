// What the fault matrix shares: the real program started and driven from
// outside (tests/dialog's driver), what the operator sees of it afterwards,
// and requests to matrix_scenario.sh, which changes CUPS from outside Wine.
#ifndef FLASH_TESTS_MATRIX_HELPERS_H
#define FLASH_TESTS_MATRIX_HELPERS_H

#include <ostream>
#include <string>
#include <vector>

#include "driver.h"
#include "test_support.h"

// One run of the program and the boxes it shows.
struct Session {
    BoxWatcher boxes;
    Program program;   // ended before the watcher stops
};

// Starts the program and waits for its dialog.
bool startProgram(Program &program);
// Network mode, then the host box filled: typed with keys, or set with
// WM_SETTEXT (for characters the keyboard has no key for). False unless the
// box then holds `host`.
bool enterHost(Program &program, const std::string &host, bool byKeys);
// Opens the drop-down list and chooses `queue`; false if it is not listed.
bool chooseQueue(Program &program, const std::string &queue);
// Presses Send Firmware and returns the boxes shown, once the first came
// and all are closed again.
std::vector<Box> sendAndReadBoxes(Session &session);
// Waits for the smiling face after a firmware send; false on time-out.
bool waitForFace(Program &program);
// The program still answers as before: the buttons are `expected`, the mode
// toggles, and Exit ends it with status 0.
void expectStillUsable(Program &program, const Buttons &expected);
// Spooler failures reach the operator as one Error box "failure with error
// <code>: <system text>", whatever the spooler's reason (docs/reliability.md
// says what each shows). Checks that much and prints the box for the record;
// the code and its text are not what the operator needs, so not asserted.
void expectOneSpoolerFailureBox(const std::vector<Box> &seen);
// Nothing, or nothing more, reaches the printer within `ms`.
void expectJobsAtPrinter(size_t count, DWORD ms);


// Has matrix_scenario.sh carry out `request` outside Wine; its output goes
// to `output`. False if it failed or there was no script to answer.
bool outside(const std::string &request, std::string *output = nullptr);

#endif
