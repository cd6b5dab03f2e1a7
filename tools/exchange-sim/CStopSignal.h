#pragma once

// A self-pipe that waits watch beside their socket, so that a stop (SIGINT,
// SIGTERM, a test, or a control command ending one connection) cuts short
// every stall and blocked read at once instead of at the next time-out.
class CStopSignal {
public:
    CStopSignal();
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // Safe in a signal handler: one write() on a non-blocking pipe.
    void Raise();
    bool Raised() const;
    int Fd() const { return readEnd; }

    // Waits until fd (none when negative) is ready for events, at most
    // timeoutMs (-1: no limit). 1 ready, 0 timed out, -1 stopped or failed.
    int Wait(int fd, short events, int timeoutMs) const;
    // false when the stop came first.
    bool Sleep(int ms) const { return Wait(-1, 0, ms) == 0; }

private:
    int readEnd = -1;
    int writeEnd = -1;
};
