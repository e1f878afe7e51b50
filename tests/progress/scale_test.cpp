// The progress bar's scaling to the screen's dpi: a pure function.
#include <gtest/gtest.h>

#include "progressbar.h"

namespace {

TEST(ProgressBarScaling, ScaleForDpiUsesASinglePrecisionScaleAndTruncates)
{
    struct {
        int value, dpi, expected;
    } cases[] = {
        // The program's bar at 120 dpi.
        { 55, 120, 68 }, { 102, 120, 127 }, { 350, 120, 437 }, { 20, 120, 25 },
        // Exactly 85 and 119: the scale is rounded to single precision first,
        // and the product truncated.
        { 102, 80, 84 }, { 102, 112, 118 },
        { -55, 120, -68 },   // toward zero
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, CProgressBar::ScaleForDPI(c.value, c.dpi)) << c.value << " at " << c.dpi << " dpi";
}

}  // namespace
