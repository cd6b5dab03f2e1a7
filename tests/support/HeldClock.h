// A tick counter that moves only when the test moves it, for the product's
// tickCount fields. Code that waits on it waits until the test says the time
// has come, however slow the machine; the count of reads tells the test that
// the code under test has looked at the clock again, so a test can let a
// waiting loop take a few passes without sleeping for them.
#pragma once

#include <windows.h>

#include <atomic>

#include "Waiting.h"

class HeldClock {
public:
    static DWORD WINAPI Read() {
        ++reads;
        return now;
    }
    static void Set(DWORD ticks) { now = ticks; }
    static void Advance(DWORD milliseconds) { now += milliseconds; }
    static DWORD Now() { return now; }
    static int Reads() { return reads; }

    // Waits until the clock has been read `more` times from now on; false
    // when that did not happen within the bound.
    static bool AwaitReads(int more, long long timeoutMs = 10000) {
        int target = reads + more;
        return WaitUntil([target] { return reads >= target; }, timeoutMs);
    }

private:
    static inline std::atomic<DWORD> now{0};
    static inline std::atomic<int> reads{0};
};
