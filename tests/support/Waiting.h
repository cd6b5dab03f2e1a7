// Time in tests: a steady millisecond clock and a wait for a condition with
// a generous upper bound. Tests wait for what they expect to happen, never
// for a fixed time: a loaded machine or Wine may take many times longer than
// a quiet one, and a fixed sleep either wastes time or races.
#pragma once

#include <chrono>
#include <thread>

inline long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline long long SinceMs(long long startMs) {
    return NowMs() - startMs;
}

// Polls done() until it holds or timeoutMs has passed; step() runs before
// every look (a message pump, say). True when done() held.
template <typename Predicate, typename Step>
bool WaitUntil(Predicate done, long long timeoutMs, Step step) {
    long long end = NowMs() + timeoutMs;
    for (;;) {
        step();
        if (done()) return true;
        if (NowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

template <typename Predicate>
bool WaitUntil(Predicate done, long long timeoutMs) {
    return WaitUntil(done, timeoutMs, [] {});
}
