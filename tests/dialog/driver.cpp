#include "driver.h"

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "test_support.h"

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

// ---------------------------------------------------------------- keyboard

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

// Presses `modifiers` in order, taps `key`, releases them in reverse; then
// gives the receiving program a moment, as a person's typing would.
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
    Sleep(50);
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
    terminate();
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

// This process's environment with `changes` ("NAME=value") put in, as a
// block of NUL-terminated strings ending in an empty one.
static std::string environmentBlock(const std::vector<std::string> &changes)
{
    std::string block;
    char *own = GetEnvironmentStringsA();
    for (const char *entry = own; *entry != '\0'; entry += strlen(entry) + 1) {
        std::string line(entry);
        bool replaced = false;
        for (const std::string &change : changes) {
            size_t name = change.find('=');
            replaced = replaced || _strnicmp(line.c_str(), change.c_str(), name + 1) == 0;
        }
        if (!replaced)
            block += line + '\0';
    }
    FreeEnvironmentStringsA(own);
    for (const std::string &change : changes)
        block += change + '\0';
    return block + '\0';
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

bool Program::start(const std::string &unixPath, const std::vector<std::string> &environment)
{
    if (process_.hProcess != nullptr)
        return false;   // one program per Program
    bringDesktopUp();
    std::string commandLine = "\"" + windowsPath(unixPath) + "\"";
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    std::string block = environmentBlock(environment);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0,
                        environment.empty() ? nullptr : (void *)block.data(), nullptr, &startup, &process_)) {
        fprintf(stderr, "cannot start %s: error %lu\n", commandLine.c_str(), GetLastError());
        memset(&process_, 0, sizeof process_);
        return false;
    }
    return true;
}

bool Program::waitForDialog(DWORD timeoutMs)
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
    }, timeoutMs) && dialog_ != nullptr;
}

HWND Program::control(Control id) const
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

void Program::click(Control id)
{
    RECT area;
    GetWindowRect(control(id), &area);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    // Move there, then press and release, each a moment apart as a hand does.
    const DWORD steps[] = { MOUSEEVENTF_MOVE, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP };
    for (DWORD step : steps) {
        INPUT input;
        memset(&input, 0, sizeof input);
        input.type = INPUT_MOUSE;
        // Absolute positions run from 0 to 65535 across the screen.
        input.mi.dx = MulDiv((area.left + area.right) / 2, 65535, width - 1);
        input.mi.dy = MulDiv((area.top + area.bottom) / 2, 65535, height - 1);
        input.mi.dwFlags = step | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        SendInput(1, &input, sizeof input);
        Sleep(50);
    }
    Sleep(50);
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

bool Program::toggleMode()
{
    bool before = networkMode();
    auto toggled = [this, before] { return networkMode() != before; };
    alt('N');
    // Windows presses the button on its mnemonic; Wine only focuses it.
    if (waitUntil(toggled, 500))
        return true;
    press(VK_SPACE);
    if (waitUntil(toggled, 3000))
        return true;
    fprintf(stderr, "note: the Net button did not react to Alt+N, Space; posting its command\n");
    post(WM_COMMAND, MAKEWPARAM(NET_BUTTON, BN_CLICKED), (LPARAM)control(NET_BUTTON));
    return waitUntil(toggled, 3000);
}

bool Program::choosePrinter(int index)
{
    HWND list = control(PRINTER_LIST);
    auto open = [this, list] { return send(list, CB_GETDROPPEDSTATE, 0, 0) != 0; };
    click(PRINTER_LIST);
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

bool Program::enabled(Control id) const
{
    return IsWindowEnabled(control(id)) != FALSE;
}

bool Program::visible(Control id) const
{
    return IsWindowVisible(control(id)) != FALSE;
}

std::string Program::text(Control id) const
{
    char text[1024] = "";
    send(control(id), WM_GETTEXT, sizeof text, (LPARAM)text);
    return text;
}

std::vector<std::string> Program::printers() const
{
    // CB_GETLBTEXT crosses processes whole only as the W message.
    std::vector<std::string> names;
    HWND list = control(PRINTER_LIST);
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
    return (int)send(control(PRINTER_LIST), CB_GETCURSEL, 0, 0);
}

bool Program::networkMode() const
{
    return visible(HOST_BOX) && !visible(PRINTER_LIST);
}

HANDLE Program::faceImage() const
{
    return (HANDLE)send(control(FACE), STM_GETIMAGE, IMAGE_BITMAP, 0);
}

int Program::progressPosition() const
{
    return (int)send(progressBar(), PBM_GETPOS, 0, 0);
}

int Program::progressMaximum() const
{
    return (int)send(progressBar(), PBM_GETRANGE, FALSE, 0);
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

void Program::terminate()
{
    if (running()) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 10000);
    }
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
    return { program.enabled(SEND_BUTTON), program.enabled(EXIT_BUTTON), program.enabled(CONFIG_BUTTON),
             program.visible(CONFIG_BUTTON) };
}
