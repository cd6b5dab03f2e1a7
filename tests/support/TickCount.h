#pragma once

#include <windows.h>

// Milliseconds on the tick counter since start, a GetTickCount() reading;
// right across the counter's wrap. For measuring what the product measures
// with the same counter; Waiting.h has the steady clock.
inline DWORD Since(DWORD start) {
    return GetTickCount() - start;
}
