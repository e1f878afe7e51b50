// The settle wait after a firmware send: the bar fills in tenths of a second
// while the window goes on answering and painting.
#include "bar_fixture.h"

#include "settle.h"

#include "test_support.h"

#include <algorithm>

namespace {

typedef std::vector<Sent> Log;

typedef BarTest SettleWait;

size_t stepsIn(const Log &log)
{
    size_t steps = 0;
    for (const Sent &sent : log)
        steps += sent.message == PBM_STEPIT;
    return steps;
}

TEST_F(SettleWait, EachSecondIsTenStepsEndingFull)
{
    for (int seconds = 1; seconds <= 2; seconds++) {
        SCOPED_TRACE(std::to_string(seconds) + " s");
        bar->setPos(5);
        sentLog().clear();
        stepTimes().clear();
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        ScrollbarWait(bar, seconds);
        QueryPerformanceCounter(&end);

        EXPECT_EQ((size_t)seconds * 10, stepsIn(sentLog()));
        EXPECT_EQ(seconds * 10, ask(PBM_GETRANGE, FALSE));
        EXPECT_EQ(seconds * 10, ask(PBM_GETPOS));
        // Sleep and the counter may tick on clocks that differ by a hair.
        EXPECT_GE((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart, seconds * 990.0);
        // Ticks of a tenth: a busy machine makes some of them longer, not
        // most of them twice as long.
        std::vector<DWORD> ticks;
        for (size_t i = 1; i < stepTimes().size(); i++)
            ticks.push_back(stepTimes()[i] - stepTimes()[i - 1]);
        ASSERT_FALSE(ticks.empty());
        std::sort(ticks.begin(), ticks.end());
        EXPECT_LT(ticks[ticks.size() / 2], 190u) << "the median tick, ms";
    }
}

struct Poke {
    HWND host, bar;
    bool answered;   // the bar told its position while the wait went on
};

// Once the bar has moved, queues a message for the window and has it
// repainted, then asks the bar where it is, as another program would. An
// answer short of full came from inside the wait, which then found the
// message and the paint queued before the question.
DWORD WINAPI pokeWhileWaiting(void *context)
{
    Poke *poke = static_cast<Poke *>(context);
    DWORD_PTR position = 0;
    auto ask = [&] { return SendMessageTimeoutA(poke->bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &position) != 0; };
    if (!waitUntil([&] { return ask() && position >= 1; }, 10000))
        return 0;
    PostMessageA(poke->host, WM_APP, 3, 0);
    InvalidateRect(poke->host, nullptr, TRUE);
    poke->answered = ask() && position < 10;
    return 0;
}

TEST_F(SettleWait, TheWindowAnswersAndPaintsWhileWaiting)
{
    Poke poke = { host, bar->hBarWnd, false };
    sentLog().clear();
    logNextPaint();
    HANDLE poker = CreateThread(nullptr, 0, pokeWhileWaiting, &poke, 0, nullptr);
    ASSERT_NE(nullptr, poker);
    ScrollbarWait(bar, 1);
    Log during = sentLog();
    WaitForSingleObject(poker, INFINITE);
    CloseHandle(poker);

    EXPECT_TRUE(poke.answered) << "the bar did not answer during the wait";
    // The message and the paint were handled before the wait was over.
    auto at = [&](UINT message) {
        for (size_t i = 0; i < during.size(); i++)
            if (during[i].message == message)
                return i;
        return during.size();
    };
    ASSERT_LT(at(WM_APP), during.size()) << "the queued message was not handled during the wait";
    ASSERT_LT(at(WM_PAINT), during.size()) << "the window was not painted during the wait";
    EXPECT_GT(stepsIn(Log(during.begin() + at(WM_APP), during.end())), 0u);
    EXPECT_GT(stepsIn(Log(during.begin() + at(WM_PAINT), during.end())), 0u);
}

}  // namespace
