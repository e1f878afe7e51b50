// The settle wait after a firmware send: ten sleeps of a tenth of a second
// and ten steps a second, with the thread's messages handled in between.
#include "flash.h"

#include "bar_fixture.h"

#include <string.h>

namespace {

typedef std::vector<Sent> Log;
typedef VOID(WINAPI *SleepFunction)(DWORD);

SleepFunction realSleep = nullptr;
DWORD waitingThread = 0;
int sleeps = 0;
void (*afterSleepCalled)(int sleepNumber) = nullptr;

// Logs the test thread's sleeps, and still sleeps.
VOID WINAPI countingSleep(DWORD milliseconds)
{
    if (GetCurrentThreadId() == waitingThread) {
        sentLog().push_back({ SLEEP_LOGGED, milliseconds, 0 });
        if (afterSleepCalled != nullptr)
            afterSleepCalled(++sleeps);
    }
    realSleep(milliseconds);
}

// flash_core is linked into this executable, so ScrollbarWait calls Sleep
// through this executable's own import slot for it.
void **sleepImportSlot()
{
    BYTE *base = (BYTE *)GetModuleHandleA(nullptr);
    const IMAGE_NT_HEADERS *headers = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (const IMAGE_IMPORT_DESCRIPTOR *dll = (const IMAGE_IMPORT_DESCRIPTOR *)(base + imports); dll->Name; dll++) {
        if (lstrcmpiA((const char *)base + dll->Name, "kernel32.dll") != 0)
            continue;
        const IMAGE_THUNK_DATA *name = (const IMAGE_THUNK_DATA *)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; name++, slot++) {
            if (!IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)
                && strcmp((const char *)((const IMAGE_IMPORT_BY_NAME *)(base + name->u1.AddressOfData))->Name, "Sleep") == 0)
                return (void **)&slot->u1.Function;
        }
    }
    return nullptr;
}

void redirect(void **slot, void *to)
{
    DWORD was;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
    *slot = to;
    VirtualProtect(slot, sizeof *slot, was, &was);
}

class SettleWait : public BarTest {
protected:
    void SetUp() override
    {
        BarTest::SetUp();
        if (HasFatalFailure())
            return;
        slot = sleepImportSlot();
        ASSERT_NE(nullptr, slot);
        realSleep = (SleepFunction)*slot;
        waitingThread = GetCurrentThreadId();
        sleeps = 0;
        redirect(slot, (void *)countingSleep);
        p_progressBar = bar;
    }

    void TearDown() override
    {
        if (slot != nullptr)
            redirect(slot, (void *)realSleep);
        afterSleepCalled = nullptr;
        p_progressBar = nullptr;
        BarTest::TearDown();
    }

    void **slot = nullptr;
};

// What the wait sends before its first tick.
Log resetFor(int ticks)
{
    return { { PBM_SETRANGE, 0, (LPARAM)ticks << 16 }, { PBM_SETPOS, 0, 0 }, { PBM_SETSTEP, 1, 0 }, { PBM_SETPOS, 0, 0 } };
}

TEST_F(SettleWait, NoSecondsResetsTheBarAndNeverSleeps)
{
    bar->setPos(50);
    sentLog().clear();
    ScrollbarWait(0);
    EXPECT_EQ(resetFor(0), sentLog());
    EXPECT_EQ(std::vector<int>({ 0, 0, 0 }), std::vector<int>({ bar->nMin, bar->nMax, bar->nPos }));
    EXPECT_EQ(0, ask(PBM_GETRANGE, FALSE));
    EXPECT_EQ(0, ask(PBM_GETPOS));
}

TEST_F(SettleWait, EachSecondIsTenSleepsOfATenthAndTenStepsEndingFull)
{
    for (int seconds = 1; seconds <= 2; seconds++) {
        SCOPED_TRACE(std::to_string(seconds) + " s");
        sentLog().clear();
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        ScrollbarWait(seconds);
        QueryPerformanceCounter(&end);

        Log expected = resetFor(seconds * 10);
        for (int tick = 0; tick < seconds * 10; tick++) {
            expected.push_back({ SLEEP_LOGGED, 100, 0 });
            expected.push_back({ PBM_STEPIT, 0, 0 });
        }
        EXPECT_EQ(expected, sentLog());
        EXPECT_EQ(seconds * 10, bar->nPos);
        EXPECT_EQ(seconds * 10, ask(PBM_GETPOS));
        // Sleep and the counter may tick on clocks that differ by a hair.
        EXPECT_GE((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart, seconds * 990.0);
    }
}

HWND waitingWindow = nullptr;

TEST_F(SettleWait, MessagesAreHandledAndTheWindowRepaintedWhileWaiting)
{
    waitingWindow = host;
    PostMessageA(host, WM_APP, 1, 0);
    afterSleepCalled = [](int sleepNumber) {
        if (sleepNumber == 3) {
            PostMessageA(waitingWindow, WM_APP, 3, 0);
            logNextPaint();
            InvalidateRect(waitingWindow, nullptr, TRUE);
        }
    };
    sentLog().clear();
    ScrollbarWait(1);

    // Each tick handles what is queued after its sleep, before its step.
    Log expected = resetFor(10);
    for (int tick = 1; tick <= 10; tick++) {
        expected.push_back({ SLEEP_LOGGED, 100, 0 });
        if (tick == 1)
            expected.push_back({ WM_APP, 1, 0 });
        if (tick == 3) {
            expected.push_back({ WM_APP, 3, 0 });
            expected.push_back({ WM_PAINT, 0, 0 });
        }
        expected.push_back({ PBM_STEPIT, 0, 0 });
    }
    EXPECT_EQ(expected, sentLog());
}

}  // namespace
