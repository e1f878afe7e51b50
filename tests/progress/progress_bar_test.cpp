// The progress bar wrapper against a real control: what it keeps, and what
// the control then shows.
#include "bar_fixture.h"

#include <string>

namespace {

TEST_F(BarTest, ConstructionMakesOneChildFrom0To100)
{
    char className[64] = "";
    GetClassNameA(bar->hBarWnd, className, sizeof className);
    EXPECT_STREQ("msctls_progress32", className);
    EXPECT_EQ(0, GetDlgCtrlID(bar->hBarWnd));
    EXPECT_EQ(host, GetParent(bar->hBarWnd));
    EXPECT_EQ(0, ask(PBM_GETRANGE, TRUE));
    EXPECT_EQ(100, ask(PBM_GETRANGE, FALSE));
}

// The wrapper keeps its own position and stops at the maximum without
// asking the control: what it keeps and what the control shows must agree.
TEST_F(BarTest, SteppingStopsAtTheMaximum)
{
    struct {
        const char *what;
        int maximum, increment, start, steps;
        int kept;    // the wrapper's position afterwards
        int shown;   // what the control then shows; -1: not asked
    } cases[] = {
        { "200 steps of 1 fill 0..200", 200, 1, 0, 200, 200, 200 },
        { "a 201st step changes nothing", 200, 1, 0, 201, 200, 200 },
        { "3 steps of 3 in 0..10", 10, 3, 0, 3, 9, 9 },
        // A step from 9 goes past 10: the wrapper keeps 10, the control is
        // left to show what it makes of it.
        { "a 4th step of 3 stops at 10", 10, 3, 0, 4, 10, -1 },
        { "and a 5th changes nothing", 10, 3, 0, 5, 10, -1 },
        { "a step at the maximum changes nothing", 10, 1, 10, 1, 10, 10 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bar->setRange(0, c.maximum);
        bar->setStep(c.increment);
        bar->setPos(c.start);
        for (int i = 0; i < c.steps; i++)
            bar->step();
        EXPECT_EQ(c.kept, bar->nPos);
        if (c.shown >= 0) {
            EXPECT_EQ(c.shown, ask(PBM_GETPOS));
        }
    }
}

TEST_F(BarTest, SetPosClampsAboveTheMaximumButNotBelowTheMinimum)
{
    struct {
        int asked, kept;
    } cases[] = { { 500, 100 }, { 101, 100 }, { 100, 100 }, { 99, 99 }, { -5, -5 } };
    for (const auto &c : cases) {
        SCOPED_TRACE("setPos(" + std::to_string(c.asked) + ")");
        bar->setRange(0, 100);
        bar->setPos(c.asked);
        EXPECT_EQ(c.kept, bar->nPos);
        if (c.kept >= 0) {
            EXPECT_EQ(c.kept, ask(PBM_GETPOS));
        }
    }
}

TEST_F(BarTest, NewRangeIsShownEmpty)
{
    bar->setPos(50);
    bar->setRange(10, 200);
    EXPECT_EQ(10, ask(PBM_GETRANGE, TRUE));
    EXPECT_EQ(200, ask(PBM_GETRANGE, FALSE));
    EXPECT_EQ(10, ask(PBM_GETPOS));
}

}  // namespace
