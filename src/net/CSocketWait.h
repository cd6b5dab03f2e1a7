#pragma once

#include "Socket.h"

// A worker thread's waits on its connection, which another thread can end
// at once with Wake, so that a stop is not held by a wait's time-out.
//
// Under Wine, select and poll notice data on a socket milliseconds after it
// came, which every streamed value pays; an event set through
// WSAEventSelect wakes the waiting thread as soon as the data is there. So
// on Windows the waits are on events; elsewhere on poll, with a datagram
// socket connected to itself to wake them.
class CSocketWait {
public:
    CSocketWait();
    ~CSocketWait();
    CSocketWait(const CSocketWait&) = delete;
    CSocketWait& operator=(const CSocketWait&) = delete;

    // False when the system gave no wake object: waits must then step and
    // look at their own stop flag.
    bool CanWake() const;
    // From any thread: ends the current wait and makes every later one
    // return at once.
    void Wake();
    // Up to milliseconds until sock is readable (write: writable; a finished
    // connect counts as writable), or until woken: 1 ready, 0 time up or
    // woken, -1 failed. With kInvalidSocket, a plain wait that a wake ends.
    // Ready means "try again": the operation that asked to wait may still
    // find nothing to do, and waits once more.
    int Wait(socket_t sock, int milliseconds, bool write);
    // Before sock is closed: a new socket may get its handle value.
    void Forget(socket_t sock);

private:
#ifdef _WIN32
    HANDLE wakeEvent;    // manual reset: once woken, always woken
    HANDLE socketEvent;  // auto reset, set by the network events of watched
    socket_t watched;
#else
    socket_t wakeSock;
#endif
};
