// Stand-in for the C runtime's <process.h> off Windows: thread start only.
#pragma once

#include <cstdint>

// Starts start(argument) on a new thread with the default stack size.
// Returns an identifier of the thread, or (uintptr_t)-1 with errno set when
// no thread could be made. As with the runtime's own, nobody joins the
// thread: it ends when start returns.
uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* argument);

// Test seam: the next count thread starts fail as if the system were out of
// threads.
void VornFailThreadStarts(int count);
