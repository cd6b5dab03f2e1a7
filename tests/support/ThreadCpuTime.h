#pragma once

// CPU time the calling thread has used, in milliseconds: a wait that spins
// shows here, one that sleeps in the kernel does not.
#ifdef _WIN32
#include <windows.h>

inline double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
    auto ticks = [](const FILETIME& time) {
        return (double)(((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 10000.0;  // 100 ns units
}
#else
#include <time.h>

inline double ThreadCpuMs() {
    timespec now;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return -1;
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}
#endif
