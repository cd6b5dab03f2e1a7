#pragma once

#include "CHttpsThread.h"

// Serves one streaming topic ("btc_jpy.r"): opens a WebSocket over TLS to
// the exchange's streaming host, port 8888, for the topic's currency pair
// and publishes every linked item from each message the server sends.
class CHttpsRealtimeThread : public CHttpsThread {
public:
    static const int kMessageSize = 262144;  // a message and its NUL
    static const int kPort = 8888;
    static const DWORD kPausedStepMs = 1000;
    // The longest a message waits for the previous one's values to be taken.
    static const DWORD kTakeWaitMs = 10;

    void ThreadMain() override;
    // The upgrade request for /stream?currency_pair={pair}; false, with the
    // key line and the closing empty line missing, when the key cannot be
    // encoded.
    bool MakeRequest(char* buffer) override;
    int OnReceive(const char* document) override;

private:
    // Handshake, then messages until the connection ends or the worker is
    // paused or stopped.
    void Stream(char* buffer);
    bool Handshake(char* buffer);

    int ConnectedPort() const;
};
