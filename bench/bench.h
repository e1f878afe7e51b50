// What the benchmark's small Windows programs share.
#ifndef FLASH_BENCH_H
#define FLASH_BENCH_H

#include <windows.h>
#include <stdio.h>

#include "resource.h"

// Wall-clock time in Unix seconds: the clock the printer simulator writes,
// so a start taken here and its last byte there can be subtracted.
static inline double unixNow()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // 100 ns ticks since 1601; 11644473600 s separate 1601 from 1970.
    return (double)ticks.QuadPart / 1e7 - 11644473600.0;
}

// Wine goes on setting up a new process for a while after it has begun to
// run, and calls timed at once pay for that: the socket floor's calls took
// 50-150 ms at once and mostly 20-30 ms after a second's pause. So whatever
// is timed, the updater's click or a floor's first call, waits a second first.
static inline void settleAfterStart()
{
    Sleep(1000);
}

// Times taken before each call of a sequence, kept until the end so that
// printing costs nothing inside it; printed as NAME_at=SECONDS lines.
class Stamps {
public:
    void mark(const char *name)
    {
        if (count_ < MAX) {
            names_[count_] = name;
            times_[count_++] = unixNow();
        }
    }
    void print() const
    {
        for (int i = 0; i < count_; i++)
            printf("%s_at=%.6f\n", names_[i], times_[i]);
    }

private:
    static const int MAX = 16;
    const char *names_[MAX];
    double times_[MAX];
    int count_ = 0;
};

// A floor client's one argument, and the firmware image: embedded as the
// updater embeds it and found the way it finds it, so that the floor sends
// the very same mapped bytes.
static inline bool startFloor(int argc, const char *usage, const BYTE **data, DWORD *size)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s\n", usage);
        return false;
    }
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(IDR_FIRMWARE), "FILE");
    HGLOBAL loaded = found != NULL ? LoadResource(NULL, found) : NULL;
    *data = loaded != NULL ? (const BYTE *)LockResource(loaded) : NULL;
    *size = found != NULL ? SizeofResource(NULL, found) : 0;
    if (*data == NULL || *size == 0) {
        fprintf(stderr, "no firmware image in this program: error %lu\n", GetLastError());
        return false;
    }
    return true;
}

#endif
