#pragma once

#include <windows.h>

#include "Waiting.h"

// Takes and dispatches the thread's waiting messages.
void PumpMessages();

// Takes messages until done() holds or timeoutMs has passed; true when it
// held.
template <typename Predicate>
bool PumpUntil(Predicate done, DWORD timeoutMs) {
    return WaitUntil(done, timeoutMs, PumpMessages);
}
