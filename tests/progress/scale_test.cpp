// The progress bar's scaling to the screen's dpi: a pure function.
#include <gtest/gtest.h>

#include "progressbar.h"

namespace {

TEST(ProgressBarScaling, ScaleForDpiUsesASinglePrecisionScaleAndTruncates)
{
    struct {
        int value, dpi, expected;
    } cases[] = {
        { 55, 96, 55 },   { 350, 96, 350 },
        { 55, 120, 68 },  { 102, 120, 127 }, { 350, 120, 437 }, { 20, 120, 25 },
        { 102, 80, 84 },  { 55, 80, 45 },    { 20, 80, 16 },    // 85, 45.8, 16.7 exactly
        { 102, 112, 118 },                                      // 119 exactly
        { 102, 144, 153 }, { 350, 72, 262 },
        { -55, 120, -68 }, { 0, 120, 0 },                       // toward zero
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, CProgressBar::ScaleForDPI(c.value, c.dpi)) << c.value << " at " << c.dpi << " dpi";
}

}  // namespace
