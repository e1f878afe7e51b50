#include "bar_fixture.h"

#include <string.h>

namespace {

std::vector<Sent> logged;
std::vector<DWORD> steps;
bool logging = false;
bool paintWanted = false;
WNDPROC controlProc = nullptr;

bool isBarMessage(UINT message)
{
    return message >= WM_USER && message < WM_USER + 0x100;
}

LRESULT CALLBACK recordingBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (logging && isBarMessage(message))
        logged.push_back({ message, wParam, lParam });
    if (logging && message == PBM_STEPIT)
        steps.push_back(GetTickCount());
    return CallWindowProcA(controlProc, window, message, wParam, lParam);
}

LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (logging && message >= WM_APP && message < WM_APP + 0x100)
        logged.push_back({ message, wParam, lParam });
    if (message == WM_PAINT && paintWanted) {
        logged.push_back({ WM_PAINT, 0, 0 });
        paintWanted = false;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Handles what is queued for this thread until nothing comes for 50 ms, so
// that the window's first paints are over before a test begins.
void settle()
{
    for (int round = 0; round < 100; round++) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_TIMEOUT)
            return;
    }
}

const char *messageName(UINT message)
{
    switch (message) {
    case PBM_SETRANGE: return "PBM_SETRANGE";
    case PBM_SETPOS: return "PBM_SETPOS";
    case PBM_SETSTEP: return "PBM_SETSTEP";
    case PBM_STEPIT: return "PBM_STEPIT";
    case PBM_SETBARCOLOR: return "PBM_SETBARCOLOR";
    case WM_PAINT: return "WM_PAINT";
    case WM_APP: return "WM_APP";
    }
    return "message";
}

}  // namespace

std::ostream &operator<<(std::ostream &out, const Sent &sent)
{
    return out << messageName(sent.message) << "(0x" << std::hex << sent.message << ", " << std::dec
               << (INT_PTR)sent.wParam << ", 0x" << std::hex << sent.lParam << std::dec << ")";
}

std::vector<Sent> &sentLog()
{
    return logged;
}

std::vector<DWORD> &stepTimes()
{
    return steps;
}

void BarTest::SetUp()
{
    instance = GetModuleHandleA(nullptr);
    WNDCLASSA hostClass = {};
    hostClass.lpfnWndProc = hostProc;
    hostClass.hInstance = instance;
    hostClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    hostClass.lpszClassName = "ProgressTestHost";
    RegisterClassA(&hostClass);   // fails harmlessly when already there
    host = CreateWindowExA(0, "ProgressTestHost", "progress", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 240,
                           nullptr, nullptr, instance, nullptr);
    ASSERT_NE(nullptr, host);

    logged.clear();
    steps.clear();
    paintWanted = false;
    bar = new CProgressBar(host, instance, 55, 102, 350, 20);
    ASSERT_NE(nullptr, bar->hBarWnd);

    controlProc = (WNDPROC)SetWindowLongPtrA(bar->hBarWnd, GWLP_WNDPROC, (LONG_PTR)recordingBarProc);
    ASSERT_NE(nullptr, controlProc);
    settle();
    logging = true;
}

void BarTest::TearDown()
{
    logging = false;
    if (host != nullptr)
        DestroyWindow(host);   // takes the bar with it
    delete bar;
    logged.clear();
}

LRESULT BarTest::ask(UINT message, WPARAM wParam, LPARAM lParam)
{
    bool was = logging;
    logging = false;
    LRESULT answer = SendMessageA(bar->hBarWnd, message, wParam, lParam);
    logging = was;
    return answer;
}

void logNextPaint()
{
    paintWanted = true;
}
