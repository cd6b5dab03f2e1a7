#pragma once

#include <chrono>

// A point in time some milliseconds ahead, on the monotonic clock, so that
// loops of partial reads and writes share one time limit.
class CDeadline {
public:
    explicit CDeadline(int timeoutMs)
        : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}

    // Rounded up: a wait of LeftMs() never ends before the deadline.
    int LeftMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>((left.count() + 999) / 1000) : 0;
    }
    bool Passed() const { return std::chrono::steady_clock::now() >= end; }

private:
    std::chrono::steady_clock::time_point end;
};
