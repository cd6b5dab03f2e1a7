#include <process.h>

#include <errno.h>

#include <atomic>
#include <system_error>
#include <thread>

namespace {

std::atomic<int> g_failingStarts{0};

// Claims one of the failures a test asked for, if any are left.
bool TakeInjectedFailure() {
    int left = g_failingStarts.load();
    while (left > 0) {
        if (g_failingStarts.compare_exchange_weak(left, left - 1)) return true;
    }
    return false;
}

}  // namespace

// The standard library's thread, detached: like the runtime's, a thread
// started here is never joined and ends when start returns. Its stack is the
// library's default whatever stackSize asks for; nothing here asks for
// another.
uintptr_t _beginthread(void (*start)(void*), unsigned, void* argument) {
    if (TakeInjectedFailure()) {
        errno = EAGAIN;
        return (uintptr_t)-1;
    }
    try {
        std::thread thread(start, argument);
        uintptr_t id = (uintptr_t)thread.native_handle();
        thread.detach();
        return id;
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return (uintptr_t)-1;
    }
}

void VornFailThreadStarts(int count) {
    g_failingStarts = count;
}
