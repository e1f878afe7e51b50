#include "program.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

const char *const UPDATER = "velmora-flash.exe";
const char *const UPDATER_WITHOUT_IMAGE = "velmora-flash-noimage.exe";

// ---------------------------------------------------------------- keyboard

// Keys for whatever window is active, as a keyboard would send them.
namespace keyboard {

static INPUT keyInput(WORD key, bool up)
{
    INPUT input;
    memset(&input, 0, sizeof input);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.wScan = (WORD)MapVirtualKeyA(key, MAPVK_VK_TO_VSC);
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

// Presses `modifiers` in order, taps `key`, releases them in reverse. The
// keys queue up in order; whoever needs their effect waits for it.
static void chord(const std::vector<WORD> &modifiers, WORD key)
{
    std::vector<INPUT> inputs;
    for (WORD m : modifiers)
        inputs.push_back(keyInput(m, false));
    inputs.push_back(keyInput(key, false));
    inputs.push_back(keyInput(key, true));
    for (size_t i = modifiers.size(); i-- > 0;)
        inputs.push_back(keyInput(modifiers[i], true));
    SendInput((UINT)inputs.size(), inputs.data(), sizeof(INPUT));
}

void press(WORD key)
{
    chord({}, key);
}

void alt(char letter)
{
    chord({ VK_MENU }, (WORD)(unsigned char)letter);
}

void type(const std::string &text)
{
    for (char c : text) {
        SHORT scan = VkKeyScanA(c);
        std::vector<WORD> modifiers;
        if (scan & 0x100)
            modifiers.push_back(VK_SHIFT);
        chord(modifiers, (WORD)(scan & 0xFF));
    }
}

}  // namespace keyboard

// ---------------------------------------------------------------- program

const char *const Program::CAPTION = "Velmora_Firmware_Download";

Program::Program() : dialog_(nullptr), exitCode_(STILL_ACTIVE), endedAt_(0)
{
    memset(&process_, 0, sizeof process_);
}

Program::~Program()
{
    if (process_.hProcess == nullptr)
        return;
    if (running()) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

// Seen when the program was the first to open a window in a fresh run:
// Wine's desktop process was not up ("The explorer process failed to
// start"), the dialog failed and the program ended at once. A window of this
// process first has Wine bring the desktop up.
static void bringDesktopUp()
{
    static bool up = false;
    if (up)
        return;
    HWND first = CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    if (first != nullptr)
        DestroyWindow(first);
    up = first != nullptr;
}

bool Program::start(const char *program, const char *folder)
{
    if (process_.hProcess != nullptr)
        return false;   // one program per Program
    bringDesktopUp();
    std::string commandLine = "\"" + windowsPath(programPath(program)) + "\"";
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process_)) {
        fprintf(stderr, "cannot start %s: error %lu\n", commandLine.c_str(), GetLastError());
        memset(&process_, 0, sizeof process_);
        return false;
    }
    return true;
}

bool Program::waitForDialog()
{
    // DialogBox shows the dialog once WM_INITDIALOG has returned.
    return waitUntil([this] {
        if (!running())
            return true;
        HWND window = nullptr;
        while ((window = FindWindowExA(nullptr, window, "#32770", CAPTION)) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == process_.dwProcessId && IsWindowVisible(window)) {
                dialog_ = window;
                return true;
            }
        }
        return false;
    }, startMs()) && dialog_ != nullptr;
}

HWND Program::control(int id) const
{
    // The first child with the id: for 1002 the button, created before the group box.
    return GetDlgItem(dialog_, id);
}

HWND Program::progressBar() const
{
    return FindWindowExA(dialog_, nullptr, PROGRESS_CLASSA, nullptr);
}

LRESULT Program::send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) const
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result))
        return 0;
    return (LRESULT)result;
}

// ---------------------------------------------------------------- actions

bool Program::activate()
{
    // A window of the program (the dialog, its open drop-down list) already
    // has the keyboard: making the dialog active again would close the list.
    auto ours = [this] {
        DWORD owner = 0;
        GetWindowThreadProcessId(GetForegroundWindow(), &owner);
        return owner == process_.dwProcessId;
    };
    if (!ours())
        SetForegroundWindow(dialog_);
    return waitUntil(ours, 5000);
}

void Program::click(int id)
{
    activate();
    RECT area;
    GetWindowRect(control(id), &area);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    // Move there; once the pointer is there, press and release.
    const POINT middle = { (area.left + area.right) / 2, (area.top + area.bottom) / 2 };
    const DWORD steps[] = { MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP };
    INPUT inputs[3];
    memset(inputs, 0, sizeof inputs);
    for (int i = 0; i < 3; i++) {
        inputs[i].type = INPUT_MOUSE;
        // Absolute positions run from 0 to 65535 across the screen.
        inputs[i].mi.dx = MulDiv(middle.x, 65535, width - 1);
        inputs[i].mi.dy = MulDiv(middle.y, 65535, height - 1);
        inputs[i].mi.dwFlags = steps[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    }
    SendInput(1, &inputs[0], sizeof inputs[0]);
    if (!waitUntil([&] {
            POINT at;
            return GetCursorPos(&at) && at.x == middle.x && at.y == middle.y;
        }, 5000))
        fprintf(stderr, "the pointer did not reach control %d; clicking where it is\n", id);
    SendInput(2, &inputs[1], sizeof inputs[0]);
}

void Program::alt(char letter)
{
    activate();
    keyboard::alt(letter);
}

void Program::press(WORD key)
{
    activate();
    keyboard::press(key);
}

void Program::type(const std::string &text)
{
    activate();
    keyboard::type(text);
}

bool Program::toggleModeWithKeys()
{
    const bool wasNetwork = networkMode();
    // The other mode's controls shown and this one's hidden: not half-way.
    auto toggled = [this, wasNetwork] {
        return wasNetwork ? visible(IDC_PRINTER_COMBO) && !visible(IDC_HOST_EDIT) : networkMode();
    };
    auto netFocused = [this] { return focusedControl() == IDC_NET; };
    auto fail = [this](const char *what) {
        fprintf(stderr, "%s; %s\n", what, focusReport().c_str());
        return false;
    };
    // Alt+N is seen to have been handled when it has moved the focus to Net,
    // so the focus must be elsewhere first.
    if (netFocused()) {
        press(VK_TAB);
        if (!waitUntil([&] { return !netFocused(); }, 3000))
            return fail("Tab did not move the focus off the Net button");
    }
    alt('N');
    if (!waitUntil(netFocused, 3000))
        return fail("Alt+N did not move the focus to the Net button");
    // Windows also presses the button, in the message that moved the focus;
    // that message is over once the dialog has answered one of ours. Wine
    // only focuses it: then Space presses it.
    send(dialog_, WM_NULL, 0, 0);
    if (!toggled()) {
        press(VK_SPACE);
        if (!waitUntil(toggled, 3000))
            return fail("the mode did not change on Alt+N, Space");
    }
    return true;
}

bool Program::tabTo(int id)
{
    // Each Tab is seen to have moved the focus before the next.
    for (int presses = 0; presses < 12 && focusedControl() != id; presses++) {
        const int before = focusedControl();
        press(VK_TAB);
        if (!waitUntil([&] { return focusedControl() != before; }, 5000))
            break;
    }
    if (focusedControl() == id)
        return true;
    fprintf(stderr, "Tab did not bring the focus to control %d; %s\n", id, focusReport().c_str());
    return false;
}

bool Program::choosePrinter(int index)
{
    HWND list = control(IDC_PRINTER_COMBO);
    auto open = [this, list] { return send(list, CB_GETDROPPEDSTATE, 0, 0) != 0; };
    click(IDC_PRINTER_COMBO);
    if (!waitUntil(open, 3000)) {
        fprintf(stderr, "the printer list did not open on a click\n");
        return false;
    }
    press(VK_HOME);
    for (int i = 0; i < index; i++)
        press(VK_DOWN);
    press(VK_RETURN);
    return waitUntil([this, open, index] { return !open() && chosenPrinter() == index; }, 3000);
}

void Program::post(UINT message, WPARAM wParam, LPARAM lParam)
{
    PostMessageA(dialog_, message, wParam, lParam);
}

// ---------------------------------------------------------------- states

bool Program::enabled(int id) const
{
    return IsWindowEnabled(control(id)) != FALSE;
}

bool Program::visible(int id) const
{
    return IsWindowVisible(control(id)) != FALSE;
}

std::string Program::text(int id) const
{
    char text[1024] = "";
    send(control(id), WM_GETTEXT, sizeof text, (LPARAM)text);
    return text;
}

std::vector<std::string> Program::printers() const
{
    // CB_GETLBTEXT crosses processes whole only as the W message.
    std::vector<std::string> names;
    HWND list = control(IDC_PRINTER_COMBO);
    LRESULT count = send(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        wchar_t wide[512] = L"";
        DWORD_PTR length = 0;
        if (send(list, CB_GETLBTEXTLEN, i, 0) >= (LRESULT)(sizeof wide / sizeof wide[0]) ||
            !SendMessageTimeoutW(list, CB_GETLBTEXT, i, (LPARAM)wide, SMTO_ABORTIFHUNG, 5000, &length))
            wide[0] = L'\0';
        char name[1024] = "";
        WideCharToMultiByte(CP_ACP, 0, wide, -1, name, sizeof name, nullptr, nullptr);
        names.push_back(name);
    }
    return names;
}

int Program::chosenPrinter() const
{
    return (int)send(control(IDC_PRINTER_COMBO), CB_GETCURSEL, 0, 0);
}

bool Program::networkMode() const
{
    return visible(IDC_HOST_EDIT) && !visible(IDC_PRINTER_COMBO);
}

HANDLE Program::faceImage() const
{
    return (HANDLE)send(control(IDC_FACE), STM_GETIMAGE, IMAGE_BITMAP, 0);
}

int Program::progressPosition() const
{
    return (int)send(progressBar(), PBM_GETPOS, 0, 0);
}

int Program::progressMaximum() const
{
    return (int)send(progressBar(), PBM_GETRANGE, FALSE, 0);
}

int Program::focusedControl() const
{
    GUITHREADINFO gui;
    memset(&gui, 0, sizeof gui);
    gui.cbSize = sizeof gui;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog_, nullptr), &gui) || gui.hwndFocus == nullptr)
        return -1;
    return GetDlgCtrlID(gui.hwndFocus);
}

std::string Program::focusReport() const
{
    HWND foreground = GetForegroundWindow();
    DWORD owner = 0;
    GetWindowThreadProcessId(foreground, &owner);
    GUITHREADINFO gui;
    memset(&gui, 0, sizeof gui);
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog_, nullptr), &gui);
    char report[256];
    snprintf(report, sizeof report, "foreground %p of process %lu (the program: %lu), active %p (dialog %p), focus id %d",
             (void *)foreground, owner, process_.dwProcessId, (void *)gui.hwndActive, (void *)dialog_,
             gui.hwndFocus != nullptr ? GetDlgCtrlID(gui.hwndFocus) : -1);
    return report;
}

// ---------------------------------------------------------------- process

bool Program::running() const
{
    return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

bool Program::waitForExit(DWORD timeoutMs)
{
    if (process_.hProcess == nullptr || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (endedAt_ == 0) {
        endedAt_ = GetTickCount();
        GetExitCodeProcess(process_.hProcess, &exitCode_);
    }
    return true;
}

const Buttons AT_START = { true, true, false, false };
const Buttons AFTER_FIRMWARE = { false, true, true, false };

std::ostream &operator<<(std::ostream &out, const Buttons &b)
{
    return out << "{send " << b.send << ", exit " << b.exit << ", config " << b.config << ", config shown "
               << b.configShown << "}";
}

Buttons buttons(const Program &program)
{
    return { program.enabled(IDC_SEND_FIRMWARE), program.enabled(IDC_EXIT), program.enabled(IDC_PRINT_CONFIG),
             program.visible(IDC_PRINT_CONFIG) };
}

// ---------------------------------------------------------------- fixture

void ProgramTest::start(const char *path)
{
    ASSERT_TRUE(program.start(path));
    if (!program.waitForDialog()) {
        if (program.waitForExit(0))
            FAIL() << "the program ended before its dialog showed, status 0x" << std::hex << program.exitCode();
        FAIL() << "no dialog within " << startMs() << " ms";
    }
    ASSERT_TRUE(program.activate());
}

void ProgramTest::enterHost(const std::string &host)
{
    ASSERT_TRUE(program.toggleModeWithKeys());
    program.click(IDC_HOST_EDIT);
    program.type(host);
    ASSERT_TRUE(waitUntil([&] { return program.text(IDC_HOST_EDIT) == host; }, 5000))
        << "the host box reads \"" << program.text(IDC_HOST_EDIT) << "\"; " << program.focusReport();
}

void ProgramTest::chooseQueue(const std::string &queue)
{
    std::vector<std::string> listed = program.printers();
    size_t index = std::find(listed.begin(), listed.end(), queue) - listed.begin();
    ASSERT_LT(index, listed.size()) << queue << " is not listed";
    ASSERT_TRUE(program.choosePrinter((int)index));
    ASSERT_EQ(queue, program.text(IDC_PRINTER_COMBO));
}

std::vector<Box> ProgramTest::sendAndReadBoxes()
{
    size_t before = boxes.boxes().size();
    program.alt('S');
    if (!boxes.waitForBoxes(before + 1, 60000)) {
        ADD_FAILURE() << "no box within a minute; " << program.focusReport();
        return {};
    }
    if (!BoxWatcher::waitUntilAllClosed(program.dialog()))
        ADD_FAILURE() << "a box stayed open, or the program did not answer; " << program.focusReport();
    std::vector<Box> seen = boxes.boxes();
    return std::vector<Box>(seen.begin() + before, seen.end());
}

bool ProgramTest::waitForFace()
{
    return waitUntil([&] { return program.faceImage() != nullptr; }, SETTLE_MS + 60000) &&
           waitUntil([&] { return program.enabled(IDC_EXIT); }, 5000);
}

void ProgramTest::expectStillUsable(const Buttons &expected)
{
    EXPECT_EQ(expected, buttons(program));
    EXPECT_TRUE(program.toggleModeWithKeys()) << "the mode did not toggle";
    program.alt('X');
    ASSERT_TRUE(program.waitForExit(15000)) << "Exit did not end it; " << program.focusReport();
    EXPECT_EQ(0u, program.exitCode());
}

void ProgramTest::expectNoBox()
{
    std::vector<Box> seen = boxes.boxes();
    EXPECT_TRUE(seen.empty()) << seen[0];
}

