#pragma once

// Runs exchange-sim as a child process on ephemeral ports, and a small TLS
// client that trusts the CA it wrote, for the suites that test it from the
// outside.
#include <string>
#include <vector>

#include <sys/types.h>

#include "TestCertificates.h"

class SimProcess {
public:
    // Starts the binary with --make-certs into a fresh folder, ephemeral
    // ports and extra; waits for both port lines.
    explicit SimProcess(const std::vector<std::string>& extra);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Started() const { return restPort > 0 && streamPort > 0; }
    int RestPort() const { return restPort; }
    int StreamPort() const { return streamPort; }
    const std::string& Dir() const { return dir; }
    // Everything it wrote to stderr so far.
    std::string Log() const;
    // Waits up to ms for text to show in the log.
    bool WaitForLog(const std::string& text, int ms) const;
    // Sends sig and waits up to ms; the exit status, or -1 on a time-out.
    int Stop(int sig, int ms);

private:
    std::string dir;
    pid_t pid = -1;
    int restPort = 0;
    int streamPort = 0;
};

// Runs the binary with args to the end (at most 10 s); stdout and the exit code.
int RunSimOnce(const std::vector<std::string>& args, std::string& outputOut);

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
struct ClientFrame {
    bool fin = false;
    int opcode = 0;
    bool masked = false;
    int lengthForm = 0;  // 7, 16 or 64: which length field the frame used
    std::string payload;
};
bool ReadFrame(TlsClient& client, ClientFrame& out, int timeoutMs);
// Sends the upgrade for pair with key; returns the response head.
std::string Upgrade(TlsClient& client, const std::string& pair, const std::string& key);
