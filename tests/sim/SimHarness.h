#pragma once

// A small TLS client that trusts the CA the simulator wrote, and what it
// reads: HTTP responses and WebSocket frames, for the suites that test
// exchange-sim from the outside (tests/support/ExchangeSimProcess runs it).
#include <string>
#include <vector>

#include "ExchangeSimProcess.h"
#include "FrameCodec.h"
#include "TestCertificates.h"

// A plain TCP connection to 127.0.0.1:port, or -1.
int ConnectTcp(int port);

class TlsClient {
public:
    // Connects to 127.0.0.1:port, verifying the server against caFile for
    // the name "localhost". Connected() tells whether it worked.
    TlsClient(int port, const std::string& caFile);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool Connected() const { return ssl != nullptr; }
    bool Write(const std::string& data);
    // Reads until n bytes are buffered; false on close, error or time-out.
    bool ReadExactly(size_t n, std::string& out, int timeoutMs);
    // Reads through the first CRLF CRLF; returns the head, "" on failure.
    std::string ReadHead(int timeoutMs);
    // What the peer did once the reading ended: 1 data, 0 clean TLS close,
    // -1 TCP end or reset without close notify, -2 time-out.
    int ReadSome(std::string& out, int timeoutMs);

private:
    int fd = -1;
    SslCtxPtr context;
    SSL* ssl = nullptr;
    std::string buffered;
};

// One HTTP response: head and a body read by Content-Length or chunks.
struct HttpResponse {
    int status = 0;
    std::string head;
    std::string body;
    // The first header of that name (case-insensitive), or "".
    std::string Header(const std::string& name) const;
};
bool ReadHttpResponse(TlsClient& client, HttpResponse& out, int timeoutMs);

// One WebSocket frame as the client sees it, unmasked if it came masked.
bool ReadFrame(TlsClient& client, WebSocketFrame& out, int timeoutMs);
// Sends the upgrade for pair with key; returns the response head.
std::string Upgrade(TlsClient& client, const std::string& pair, const std::string& key);
