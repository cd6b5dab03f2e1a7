#pragma once

#include <windows.h>

#include "CByteStream.h"

class CHttpsThread;

// The worker's TLS connection as a byte stream whose reads share one time
// budget: a response, a handshake or a frame must arrive whole within it,
// however the server spaces its bytes. A server that trickles a byte now
// and then cannot hold a worker for longer than the budget, nor keep a stop
// request waiting.
class CConnectionStream : public CByteStream {
public:
    explicit CConnectionStream(CHttpsThread& connection);

    // Starts a new budget of limitMs for the reads that follow.
    void StartClock(int limitMs);
    // For a stream whose next message may be long in coming: the reads that
    // follow wait up to limitMs for their first byte, and that byte starts a
    // new budget of limitMs for the rest. A quiet spell and a slow message
    // are judged each on its own, so a message that begins late in the quiet
    // time is not cut short by it.
    void StartClockAtFirstByte(int limitMs);

    int Read(char* buffer, int count) override;
    bool Ended() const override;
    bool Write(const char* data, int count) override;

private:
    int TimeLeft() const;
    int ReadWithinBudget(char* buffer, int count);

    CHttpsThread& connection;
    DWORD start;
    int limitMs;
    int limitAfterFirstByteMs;  // 0 unless a first byte is awaited
    bool ended;
};
