#pragma once

#include <string>

#include <openssl/ssl.h>

#include "CStopSignal.h"

// One accepted TCP connection and, once the handshake is done, its TLS
// session. The socket is non-blocking: every read and write waits through
// the connection's stop signal, so nothing blocks past a time limit or a stop.
class CTlsConnection {
public:
    static const int kTimedOut = -2;

    CTlsConnection(int fd, const CStopSignal& stop);
    ~CTlsConnection();
    CTlsConnection(const CTlsConnection&) = delete;
    CTlsConnection& operator=(const CTlsConnection&) = delete;

    bool Handshake(SSL_CTX* context, int timeoutMs);
    // Bytes read (raw TCP before the handshake), 0 when the peer closed,
    // kTimedOut, or -1 on an error or a stop.
    int Read(char* buffer, int size, int timeoutMs);
    // byteDelayMs > 0 sends one byte per record with that pause between.
    bool Write(const std::string& data, int byteDelayMs);
    // Sends the TLS close notify; the socket closes with the object.
    void CloseNotify();
    // Closes with SO_LINGER 0, so the peer sees a TCP reset.
    void Reset();
    // Reads and drops whatever comes until the peer goes, a stop, or limitMs.
    void WaitUntilPeerGone(int limitMs);

private:
    int WaitFor(int sslResult, int timeoutMs);
    bool WriteAll(const char* data, size_t size, int timeoutMs);

    int fd;
    const CStopSignal& stop;
    SSL* ssl = nullptr;
};
