// What the tests need to see the program from outside: the message boxes it
// shows, and the jobs that reach the printer simulator.
#ifndef FLASH_TESTS_SUPPORT_H
#define FLASH_TESTS_SUPPORT_H

#include <windows.h>

#include <string>
#include <vector>

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

    // The boxes seen so far, in the order they appeared.
    std::vector<Box> boxes();
    // Waits until at least `count` boxes were seen; false on time-out.
    bool waitForBoxes(size_t count, DWORD timeoutMs);

private:
    static DWORD WINAPI run(void *self);
    void look();

    HANDLE thread_;
    volatile LONG stop_;
    CRITICAL_SECTION lock_;
    std::vector<Box> seen_;
    std::vector<HWND> handled_;
};

// A job as the printer simulator recorded it.
struct Job {
    std::string data;    // every byte received
    std::string ended;   // "closed by sender", "reset by printer after N bytes", ...
    double seconds;      // from accept to the end of the job
};

// The printer simulator that tools/services.sh runs on 127.0.0.1:9100.
namespace printer {
// Forgets earlier jobs and any pending behaviour.
void clear();
// Options of tools/printer_sim.py for the next connection only.
void behaveNextTime(const std::string &options);
// Waits for `count` finished jobs; returns those there are after the wait.
std::vector<Job> waitForJobs(size_t count, DWORD timeoutMs);
}  // namespace printer

// The printers the spooler lists to any program, in its order; `needed` gets
// the size of their level-1 records.
std::vector<std::string> spoolerPrinters(DWORD *needed = nullptr);

// The firmware image that the build embeds (res/firmware.bin of the build tree).
std::string firmwareImage();

// A Windows path for a Unix path, through Wine's Z: drive.
std::string windowsPath(const std::string &unixPath);
std::string environment(const char *name);
std::string readFile(const std::string &path);

#endif
