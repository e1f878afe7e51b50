#include "program.h"

#include <commctrl.h>
#include <ctype.h>
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

void alt(WORD key)
{
    chord({ VK_MENU }, key);
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
    terminate();
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

void Program::terminate()
{
    if (running()) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 10000);
    }
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

testing::AssertionResult Program::start(const char *program, const char *folder)
{
    if (process_.hProcess != nullptr)
        return testing::AssertionFailure() << "one program per Program";
    bringDesktopUp();
    std::string commandLine = "\"" + windowsPath(programPath(program)) + "\"";
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process_)) {
        const DWORD error = GetLastError();
        memset(&process_, 0, sizeof process_);
        return testing::AssertionFailure() << "cannot start " << commandLine << ": error " << error;
    }
    return testing::AssertionSuccess();
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

testing::AssertionResult Program::activate()
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
    if (!waitUntil(ours, 5000))
        return testing::AssertionFailure() << "SetForegroundWindow on the dialog: no window of the program became "
                                              "active within 5 s; " << focusReport();
    return testing::AssertionSuccess();
}

testing::AssertionResult Program::click(int id)
{
    testing::AssertionResult active = activate();
    if (!active)
        return active << " (to click control " << id << ")";
    RECT area;
    if (!GetWindowRect(control(id), &area))
        return testing::AssertionFailure() << "no control " << id << " to click";
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
    POINT at = { -1, -1 };
    if (!waitUntil([&] { return GetCursorPos(&at) && at.x == middle.x && at.y == middle.y; }, 5000))
        return testing::AssertionFailure() << "the pointer, moved to the middle of control " << id << " ("
                                           << middle.x << ", " << middle.y << "), is at (" << at.x << ", " << at.y
                                           << ") after 5 s: no click";
    SendInput(2, &inputs[1], sizeof inputs[0]);
    return testing::AssertionSuccess();
}

testing::AssertionResult Program::keys(const std::string &what, const std::function<void()> &sendKeys)
{
    testing::AssertionResult active = activate();
    if (!active)
        return active << " (for " << what << ")";
    sendKeys();
    return active;
}

testing::AssertionResult Program::alt(WORD key)
{
    const std::string name = isalnum(key) ? std::string(1, (char)key) : "key " + std::to_string(key);
    return keys("Alt+" + name, [=] { keyboard::alt(key); });
}

testing::AssertionResult Program::press(WORD key)
{
    return keys("key " + std::to_string(key), [=] { keyboard::press(key); });
}

testing::AssertionResult Program::type(const std::string &text)
{
    return keys("\"" + text + "\"", [&] { keyboard::type(text); });
}

testing::AssertionResult Program::toggleModeWithKeys(bool *byAltN)
{
    const bool wasNetwork = networkMode();
    // The other mode's controls shown and this one's hidden: not half-way.
    auto toggled = [this, wasNetwork] {
        return wasNetwork ? visible(IDC_PRINTER_COMBO) && !visible(IDC_HOST_EDIT) : networkMode();
    };
    auto netFocused = [this] { return focusedControl() == IDC_NET; };
    auto fail = [this](const char *what) { return testing::AssertionFailure() << what << "; " << focusReport(); };
    // Alt+N is seen to have been handled when it has moved the focus to Net,
    // so the focus must be elsewhere first.
    if (netFocused()) {
        testing::AssertionResult pressed = press(VK_TAB);
        if (!pressed)
            return pressed;
        if (!waitUntil([&] { return !netFocused(); }, 3000))
            return fail("Tab did not move the focus off the Net button");
    }
    testing::AssertionResult pressed = alt('N');
    if (!pressed)
        return pressed;
    if (!waitUntil(netFocused, 3000))
        return fail("Alt+N did not move the focus to the Net button");
    // Windows presses the button in the message that moved the focus; that
    // message is over once the dialog has answered one of ours.
    send(dialog_, WM_NULL, 0, 0);
    const bool toggledByAltN = toggled();
    if (byAltN != nullptr)
        *byAltN = toggledByAltN;
    if (toggledByAltN)
        return pressed;
    // Alt+N only focused it: Space presses it.
    pressed = press(VK_SPACE);
    if (pressed && !waitUntil(toggled, 3000))
        return fail("the mode did not change on Space with the Net button focused");
    return pressed;
}

testing::AssertionResult Program::tabTo(int id)
{
    // Each Tab is seen to have moved the focus before the next.
    for (int presses = 0; presses < 12 && focusedControl() != id; presses++) {
        const int before = focusedControl();
        testing::AssertionResult pressed = press(VK_TAB);
        if (!pressed)
            return pressed;
        if (!waitUntil([&] { return focusedControl() != before; }, 5000))
            return testing::AssertionFailure() << "Tab did not move the focus from control " << before
                                               << " within 5 s; " << focusReport();
    }
    if (focusedControl() == id)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "12 Tabs did not bring the focus to control " << id << "; "
                                       << focusReport();
}

testing::AssertionResult Program::choosePrinter(int index)
{
    HWND list = control(IDC_PRINTER_COMBO);
    auto open = [this, list] { return send(list, CB_GETDROPPEDSTATE, 0, 0) != 0; };
    testing::AssertionResult done = click(IDC_PRINTER_COMBO);
    if (!done)
        return done;
    if (!waitUntil(open, 3000))
        return testing::AssertionFailure() << "the printer list did not open on a click; " << focusReport();
    done = press(VK_HOME);
    for (int i = 0; done && i < index; i++)
        done = press(VK_DOWN);
    if (done)
        done = press(VK_RETURN);
    if (done && !waitUntil([this, open, index] { return !open() && chosenPrinter() == index; }, 3000))
        return testing::AssertionFailure() << "Home, Down " << index << " times and Enter: the list is "
                                           << (open() ? "open" : "closed") << " and shows choice "
                                           << chosenPrinter();
    return done;
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

bool Program::answers() const
{
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutA(dialog_, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored) != 0;
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

testing::AssertionResult ProgramTest::start(const char *path)
{
    testing::AssertionResult started = program.start(path);
    if (!started)
        return started;
    if (!program.waitForDialog()) {
        if (program.waitForExit(0))
            return testing::AssertionFailure() << "the program ended before its dialog showed, status 0x" << std::hex
                                               << program.exitCode();
        return testing::AssertionFailure() << "no dialog within " << startMs() << " ms";
    }
    return program.activate();
}

testing::AssertionResult ProgramTest::enterHost(const std::string &host)
{
    testing::AssertionResult done = program.toggleModeWithKeys();
    if (done)
        done = program.click(IDC_HOST_EDIT);
    if (done)
        done = program.type(host);
    if (done && !waitUntil([&] { return program.text(IDC_HOST_EDIT) == host; }, 5000))
        return testing::AssertionFailure() << "typed \"" << host << "\", the host box reads \""
                                           << program.text(IDC_HOST_EDIT) << "\"; " << program.focusReport();
    return done;
}

testing::AssertionResult ProgramTest::chooseQueue(const std::string &queue)
{
    std::vector<std::string> listed = program.printers();
    size_t index = std::find(listed.begin(), listed.end(), queue) - listed.begin();
    if (index == listed.size())
        return testing::AssertionFailure() << queue << " is not listed";
    testing::AssertionResult chosen = program.choosePrinter((int)index);
    if (chosen && program.text(IDC_PRINTER_COMBO) != queue)
        return testing::AssertionFailure() << "chose " << queue << ", the list shows \""
                                           << program.text(IDC_PRINTER_COMBO) << "\"";
    return chosen;
}

std::vector<Box> ProgramTest::sendAndReadBoxes()
{
    size_t before = boxes.boxes().size();
    testing::AssertionResult pressed = program.alt('S');
    if (!pressed) {
        ADD_FAILURE() << pressed.message();
        return {};
    }
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
    return waitUntil([&] { return program.faceImage() != nullptr; }, SETTLE_MS + 60000) && program.answers();
}

void ProgramTest::expectStillUsable(const Buttons &expected)
{
    EXPECT_EQ(expected, buttons(program));
    ASSERT_TRUE(program.toggleModeWithKeys());
    ASSERT_TRUE(program.alt('X'));
    ASSERT_TRUE(program.waitForExit(15000)) << "Exit did not end it; " << program.focusReport();
    EXPECT_EQ(0u, program.exitCode());
}

void ProgramTest::expectNoBox()
{
    std::vector<Box> seen = boxes.boxes();
    EXPECT_TRUE(seen.empty()) << seen[0];
}

