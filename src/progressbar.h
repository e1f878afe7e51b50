// A thin wrapper over one common-controls progress bar. It keeps its own copy
// of range, step and position so that stepping stops at the maximum without
// asking the control.
#ifndef FLASH_PROGRESSBAR_H
#define FLASH_PROGRESSBAR_H

#include <windows.h>

class CProgressBar {
public:
    // Position and size are in pixels at 96 dots per inch; the bar is placed
    // scaled for the screen's actual dots per inch.
    CProgressBar(HWND parent, HINSTANCE instance, int x, int y, int width, int height);
    ~CProgressBar();

    void setRange(int minimum, int maximum);
    void setStep(int increment);
    void step();
    void setPos(int position);
    void setBarColor(int red, int green, int blue);
    void setBgColor(int red, int green, int blue);

    static int GetScreenDPI();
    // value x (dpi / 96), the scale rounded to single precision, the product
    // truncated toward zero.
    static int ScaleForDPI(int value, int dpi);

    HWND hBarWnd;
    int nMin;
    int nMax;
    int nStep;
    int nPos;
};

#endif
