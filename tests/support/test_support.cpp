#include "test_support.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <winspool.h>
#include <commctrl.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <sstream>

const std::string CONFIG_REQUEST("\x1b%-12345X@PJL DEFAULT TESTPAGE=SELFTEST\n\x1b%-12345X");

DWORD startMs()
{
    std::string seconds = environment("FLASH_START_SECONDS");
    return seconds.empty() ? 15000 : (DWORD)atoi(seconds.c_str()) * 1000;
}

std::string programPath(const std::string &relative)
{
    std::string tree = environment("FLASH_TESTED_PROGRAM_TREE");
    return (tree.empty() ? environment("FLASH_TEST_TREE") : tree) + "/" + relative;
}

bool waitUntil(const std::function<bool()> &condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

std::string systemText(DWORD code)
{
    char text[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x0400, text,
                   sizeof text, nullptr);
    return text;
}

std::string errorText(DWORD code)
{
    // The spooler's word for an unknown printer: none was chosen.
    if (code == ERROR_INVALID_PRINTER_NAME)
        return "Please select printer in drop-down box";
    const std::string system = systemText(code);
    return "failure with error " + std::to_string(code) + ": " +
           (system.empty() ? "(the system has no text for this code)" : system);
}

std::ostream &operator<<(std::ostream &out, const Box &box)
{
    return out << "[" << box.caption << "] \"" << box.text << "\"";
}

// ---------------------------------------------------------------- boxes

BoxWatcher::BoxWatcher() : stop_(0)
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

BoxWatcher::~BoxWatcher()
{
    InterlockedExchange(&stop_, 1);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    DeleteCriticalSection(&lock_);
}

DWORD WINAPI BoxWatcher::run(void *self)
{
    BoxWatcher *watcher = static_cast<BoxWatcher *>(self);
    while (!watcher->stop_) {
        watcher->look();
        Sleep(20);
    }
    return 0;
}

// False if the window did not answer. WM_GETTEXT, not GetWindowText: the
// box may belong to another process. A box's thread that was busy for a
// while before it (a blocking send) counts as hung until its box's loop runs.
static bool windowText(HWND window, std::string *text)
{
    char buffer[4096] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, (LPARAM)buffer, SMTO_ABORTIFHUNG, 2000, &length))
        return false;
    *text = buffer;
    return true;
}

static const char *const CAPTIONS[] = { "Info", "Error", "Failure!" };

void BoxWatcher::look()
{
    for (const char *caption : CAPTIONS) {
        HWND box = nullptr;
        while ((box = FindWindowExA(nullptr, box, "#32770", caption)) != nullptr) {
            if (!IsWindowVisible(box))
                continue;
            bool known = false;
            EnterCriticalSection(&lock_);
            for (HWND h : handled_)
                known = known || h == box;
            LeaveCriticalSection(&lock_);
            if (known)
                continue;
            HWND textControl = GetDlgItem(box, 0xFFFF);
            if (textControl == nullptr)
                continue;   // not a message box, or not built yet
            Box seen = { caption, "" };
            if (!windowText(textControl, &seen.text))
                continue;   // asked again next round
            EnterCriticalSection(&lock_);
            seen_.push_back(seen);
            handled_.push_back(box);
            LeaveCriticalSection(&lock_);
            if (answer_)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
}

std::vector<Box> BoxWatcher::boxes()
{
    EnterCriticalSection(&lock_);
    std::vector<Box> copy = seen_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool BoxWatcher::waitForBoxes(size_t count, DWORD timeoutMs)
{
    return waitUntil([&] { return boxes().size() >= count; }, timeoutMs);
}

static bool noBoxOpen()
{
    for (const char *caption : CAPTIONS)
        if (FindWindowA("#32770", caption) != nullptr)
            return false;
    return true;
}

// A program answers a message sent to it only while it waits for messages:
// in its dialog, once the command is over, or in a box. So when no box is
// open after it answered, none is about to open.
bool BoxWatcher::waitUntilAllClosed(HWND dialog)
{
    for (int box = 0; box < 10; box++) {
        if (!waitUntil(noBoxOpen, 10000))
            return false;
        DWORD_PTR ignored = 0;
        if (!SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored))
            return false;
        if (noBoxOpen())
            return true;
    }
    return false;
}

// ---------------------------------------------------------------- spooler

std::vector<std::string> spoolerPrinters(DWORD *needed)
{
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD size = 0, count = 0;
    EnumPrintersA(flags, nullptr, 1, nullptr, 0, &size, &count);
    if (needed != nullptr)
        *needed = size;
    std::vector<BYTE> records(size + 1);
    std::vector<std::string> names;
    if (!EnumPrintersA(flags, nullptr, 1, records.data(), size, &size, &count))
        return names;
    const PRINTER_INFO_1A *info = (const PRINTER_INFO_1A *)records.data();
    for (DWORD i = 0; i < count; i++)
        names.push_back(info[i].pName);
    return names;
}

// ---------------------------------------------------------------- files

std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

std::string windowsPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

DWORD endSession()
{
    char line[] = "wineboot.exe --end-session";
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return (DWORD)-1;
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::string standardErrorSoFar()
{
    return readFile(windowsPath(environment("FLASH_OUTPUT")));
}

std::string firmwareImage()
{
    const std::string tree = windowsPath(environment("FLASH_TEST_TREE"));
    const std::string image = readFile(tree + "\\res\\firmware.bin");
    // The build states the image's size in its SHA256SUMS.
    const std::string sums = readFile(tree + "\\SHA256SUMS"), said = "inside the program: ";
    size_t at = sums.find(said);
    unsigned long stated = at == std::string::npos ? 0 : strtoul(sums.c_str() + at + said.size(), nullptr, 10);
    if (image.empty() || image.size() != stated) {
        ADD_FAILURE() << "the build's image has " << image.size() << " bytes, its SHA256SUMS says " << stated;
        return "";
    }
    return image;
}

// ---------------------------------------------------------------- printer

static std::string jobsFolder()
{
    return windowsPath(environment("PRINTER_JOBS"));
}

namespace printer {

void clear()
{
    std::string folder = jobsFolder();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            DeleteFileA((folder + "\\" + name).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void behaveNextTime(const std::string &options)
{
    std::ofstream out((jobsFolder() + "\\next-job").c_str(), std::ios::binary);
    out << options;
}

static std::string reportValue(const std::string &report, const std::string &key)
{
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    return "";
}

size_t connectionsAccepted()
{
    size_t count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((jobsFolder() + "\\accepted-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        count++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return count;
}

// The numbers of the jobs the simulator has reported, oldest first.
static std::vector<int> reportedJobNumbers()
{
    std::vector<int> numbers;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((jobsFolder() + "\\job-*.done").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return numbers;
    do {
        numbers.push_back(atoi(found.cFileName + 4));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::vector<Job> waitForJobs(size_t count, DWORD timeoutMs)
{
    waitUntil([count] { return reportedJobNumbers().size() >= count; }, timeoutMs);
    std::vector<Job> jobs;
    for (int n : reportedJobNumbers()) {
        // The simulator writes each report after the job's bytes.
        std::string base = jobsFolder() + "\\job-" + std::to_string(n);
        std::string report = readFile(base + ".done");
        std::string after = readFile(base + ".after");
        Job job = { readFile(base + ".bin"), reportValue(report, "ended"),
                    (size_t)strtoul(reportValue(report, "held").c_str(), nullptr, 10),
                    reportValue(report, "end") == "yes", after.substr(0, after.find('\n')) };
        jobs.push_back(job);
    }
    return jobs;
}

}  // namespace printer

// ---------------------------------------------------------------- scenario script

bool askScenarioScript(const std::string &command, std::string *output)
{
    // The script polls for the request and answers with "ok" or "failed",
    // then what the command printed.
    const std::string run = windowsPath(environment("FLASH_RUN_DIR"));
    const std::string request = run + "\\scenario-request", answer = run + "\\scenario-answer";
    {
        std::ofstream out((request + ".tmp").c_str(), std::ios::binary);
        out << command << "\n";
    }
    if (!MoveFileExA((request + ".tmp").c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    if (!waitUntil([&] { return GetFileAttributesA(answer.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000)) {
        DeleteFileA(request.c_str());
        fprintf(stderr, "no answer to \"%s\": not run by scenario.sh?\n", command.c_str());
        return false;
    }
    std::string said = readFile(answer);
    DeleteFileA(answer.c_str());
    size_t firstLine = said.find('\n');
    if (output != nullptr)
        *output = firstLine == std::string::npos ? "" : said.substr(firstLine + 1);
    if (said.compare(0, firstLine, "ok") != 0) {
        fprintf(stderr, "\"%s\" failed outside Wine: %s\n", command.c_str(), said.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- answers

DWORD answerBoundMs()
{
    return environment("FLASH_START_SECONDS").empty() ? 250 : 2500;
}

AnswerWatcher::AnswerWatcher(HWND window, HWND bar) : window_(window), bar_(bar)
{
    // Started once every member is there.
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

DWORD AnswerWatcher::stop()
{
    if (thread_ != nullptr) {
        InterlockedExchange(&stop_, 1);
        // The last question may be waiting for this thread, the window's.
        MSG message;
        while (MsgWaitForMultipleObjects(1, &thread_, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1)
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return longest_;
}

std::vector<int> AnswerWatcher::barPositions()
{
    stop();
    return positions_;
}

DWORD WINAPI AnswerWatcher::run(void *self)
{
    AnswerWatcher *watcher = static_cast<AnswerWatcher *>(self);
    while (!watcher->stop_) {
        DWORD start = GetTickCount();
        DWORD_PTR answer = 0;
        // A window that never answers shows as this long a wait, at least.
        SendMessageTimeoutA(watcher->window_, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer);
        watcher->longest_ = std::max(watcher->longest_, GetTickCount() - start);
        if (watcher->bar_ != nullptr &&
            SendMessageTimeoutA(watcher->bar_, PBM_GETPOS, 0, 0, SMTO_NORMAL, 10000, &answer) &&
            (watcher->positions_.empty() || watcher->positions_.back() != (int)answer))
            watcher->positions_.push_back((int)answer);
        Sleep(20);
    }
    return 0;
}
