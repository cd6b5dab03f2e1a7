#include "CStopSignal.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "CDeadline.h"

CStopSignal::CStopSignal() {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return;
    readEnd = ends[0];
    writeEnd = ends[1];
}

CStopSignal::~CStopSignal() {
    if (readEnd >= 0) close(readEnd);
    if (writeEnd >= 0) close(writeEnd);
}

void CStopSignal::Raise() {
    // The byte stays in the pipe: every later wait sees the stop too.
    const char byte = 1;
    if (write(writeEnd, &byte, 1) < 0) return;
}

bool CStopSignal::Raised() const {
    struct pollfd entry = {readEnd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

int CStopSignal::Wait(int fd, short events, int timeoutMs) const {
    const CDeadline deadline(timeoutMs);
    for (;;) {
        struct pollfd entries[2] = {{readEnd, POLLIN, 0}, {fd, events, 0}};
        const int result = poll(entries, 2, timeoutMs < 0 ? -1 : deadline.LeftMs());
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 || entries[0].revents) return -1;
        return result > 0 ? 1 : 0;
    }
}
