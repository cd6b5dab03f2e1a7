#pragma once

#include <windows.h>

#include <cstddef>

// Windows lets a thread's queue hold this many posted messages.
const size_t kWindowsPostQuota = 10000;

// Posts WM_NULL to window until the queue refuses one, as a flood would;
// the number posted. Stops at twice the quota, for a system that sets none.
inline size_t FillQueue(HWND window) {
    size_t posted = 0;
    while (posted < 2 * kWindowsPostQuota && PostMessageA(window, WM_NULL, 0, 0))
        ++posted;
    return posted;
}
