#include "progressbar.h"

#include <commctrl.h>

CProgressBar::CProgressBar(HWND parent, HINSTANCE instance, int x, int y, int width, int height)
{
    int dpi = GetScreenDPI();
    x = ScaleForDPI(x, dpi);
    y = ScaleForDPI(y, dpi);
    width = ScaleForDPI(width, dpi);
    height = ScaleForDPI(height, dpi);

    InitCommonControls();
    hBarWnd = CreateWindowExA(0, PROGRESS_CLASSA, NULL, WS_CHILD | WS_VISIBLE | PBS_SMOOTH,
                              x, y, width, height, parent, NULL, instance, NULL);
    nMin = 0;
    nMax = 100;
    nStep = 1;
    nPos = 0;
    setRange(nMin, nMax);
    setStep(nStep);
    setBarColor(0, 0, 255);
}

CProgressBar::~CProgressBar()
{
    // The control belongs to its parent window and goes with it.
}

int CProgressBar::ScaleForDPI(int value, int dpi)
{
    // volatile: on the x87 unit the quotient would otherwise keep its extra
    // precision, and at 80 dpi y 102 would come out as 85 instead of 84.
    volatile float scale = (float)(dpi / 96.0);
    return (int)((double)value * (double)scale);
}

int CProgressBar::GetScreenDPI()
{
    HDC screen = GetDC(NULL);
    if (screen == NULL)
        return -1;
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(NULL, screen);
    return dpi;
}

void CProgressBar::setRange(int minimum, int maximum)
{
    nMin = minimum;
    nMax = maximum;
    nPos = 0;
    // The control takes 16-bit bounds; the object keeps the whole values.
    SendMessageA(hBarWnd, PBM_SETRANGE, 0, MAKELPARAM(minimum, maximum));
    SendMessageA(hBarWnd, PBM_SETPOS, 0, 0);
}

void CProgressBar::setStep(int increment)
{
    nStep = increment;
    SendMessageA(hBarWnd, PBM_SETSTEP, (WPARAM)increment, 0);
}

void CProgressBar::step()
{
    if (nPos < nMax) {
        SendMessageA(hBarWnd, PBM_STEPIT, 0, 0);
        nPos += nStep;
    }
    if (nPos > nMax)
        nPos = nMax;
}

void CProgressBar::setPos(int position)
{
    if (position > nMax)
        position = nMax;
    nPos = position;
    SendMessageA(hBarWnd, PBM_SETPOS, (WPARAM)position, 0);
}

void CProgressBar::setBarColor(int red, int green, int blue)
{
    SendMessageA(hBarWnd, PBM_SETBARCOLOR, 0, RGB(red, green, blue));
}

void CProgressBar::setBgColor(int red, int green, int blue)
{
    SendMessageA(hBarWnd, PBM_SETBKCOLOR, 0, RGB(red, green, blue));
}
