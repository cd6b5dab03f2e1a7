#pragma once

#include <openssl/ssl.h>

#include <string>

#include "CSocketWait.h"
#include "CThread.h"
#include "CTlsContext.h"
#include "Socket.h"

// The common base of the two market-data workers: one TLS client connection
// to an exchange host, used only by the worker's own thread, and the steps
// both workers take on it. The concrete workers supply ThreadMain, the
// request text (MakeRequest) and the handling of a document (OnReceive).
//
// Connections are verified: the host name goes out as SNI, and the server's
// chain and name are checked against the roots of the owner's CTlsContext.
// A market feed that anyone on the path could rewrite would put false
// prices into a trader's sheet.
class CHttpsThread : public CThread {
public:
    static constexpr int kHostSize = 1024;
    static constexpr int kCookieSize = 1024;
    static constexpr int kRequestSize = 1024;  // the buffer MakeRequest fills
    // Bound of TCP connect plus TLS handshake when timeoutMs gives none.
    static constexpr int kDefaultConnectTimeoutMs = 5000;

    CHttpsThread();
    ~CHttpsThread();

    // Opens a verified TLS connection to hostName:port. 0 when it stands,
    // -1 otherwise, with nothing left open. The TCP connect and the
    // handshake together take at most timeoutMs (kDefaultConnectTimeoutMs
    // when timeoutMs is 0 or less) and give up early once running is
    // cleared; name resolution is the system's and not bounded here.
    // The first failure of a run is logged with what failed (a certificate
    // with OpenSSL's reason); further failures stay quiet, whatever their
    // reason, until a connection stands again, which is logged as the end
    // of the run. A port out of range and an attempt cut short by Stop are
    // not failures of the server and are never logged.
    int Connect(const char* hostName, int port);

    // One SSL_write of text without its NUL; a failure is logged by name.
    // Returns SSL_write's result.
    int Send(const char* text);

    // Reads up to count bytes into buffer, waiting for the socket to become
    // readable for what is left of timeoutMs since the call. Returns at once
    // when count bytes are in or the peer has closed the TLS connection (the
    // number read, possibly 0); when the time is up with nothing more to
    // read, the number read. Any other failure is logged by name once and
    // gives -1, after the time-out like a plain wait would. Once running is
    // cleared, any wait here ends within 100 ms and the read gives -1, with
    // a log line only for a failed connection. timeoutMs of 0 or less reads
    // nothing and returns 0.
    int Receive(char* buffer, int count);

    // Shuts the TLS connection down, closes the socket, releases the
    // context. Safe to call when nothing is open.
    void Disconnect();

    // Waits seconds, ending as soon as Stop is called; returns at once for 0
    // or less or when already stopped. Held by a test, the clock is read in
    // steps of 100 ms.
    void WaitSeconds(int seconds);
    // The same wait, given in milliseconds.
    void WaitMilliseconds(int milliseconds);

    // Writes the name of an SSL_get_error code as one log line; codes other
    // than 1 to 8 write nothing.
    static void LogSslError(int code);

    // Copies what follows the first occurrence of headerName in text (exact,
    // case-sensitive, anywhere in text) up to the line's carriage return, at
    // most destSize - 1 characters, into dest with a NUL. Returns the number
    // copied, or 0 with dest untouched when headerName does not occur.
    static int GetHeaderValue(char* dest, int destSize, const char* headerName, const char* text);

    // The text to send after connecting, written into buffer (kRequestSize
    // bytes, cleared by the caller). This version writes nothing.
    virtual bool MakeRequest(char* buffer);
    // One received document, NUL-terminated. This version does nothing.
    virtual int OnReceive(const char* document);

    // Where ThreadMain connects: the owner sets it before Start (the exchange
    // host from the configuration); an empty serverHost or a serverPort of 0
    // leaves the concrete worker's built-in host or port. Tests point
    // workers at loopback servers on ephemeral ports through it.
    void SetServer(const char* hostName, int port);

    // The context connections are made from, which decides what is trusted;
    // the owner sets it before Start and keeps it until the thread has
    // ended. Without one, every connection fails its handshake.
    void SetTrust(const CTlsContext* context);

    char host[kHostSize];  // host of the current connection
    char cookie[kCookieSize];
    socket_t sock;
    SSL* ssl;

    char serverHost[kHostSize];
    int serverPort;

    // The clock of WaitSeconds, the wait between cycles: GetTickCount unless
    // a test holds it to step the worker from one cycle to the next. The
    // time-outs of connections keep the system's clock, as their waits
    // happen in the waiter.
    DWORD(WINAPI* tickCount)();

    // What stopped a connection from standing; kNone when it stood.
    enum class Fault { kNone, kNameNotResolved, kRefused, kTimedOut, kNetwork, kHandshake, kCertificate };

private:
    int ConnectTimeoutMs() const;
    Fault Open(const char* hostName, int port);
    Fault ConnectTcp(const sockaddr_in& address, DWORD start, int limitMs);
    bool MakeVerifyingConnection(const char* hostName);
    Fault Handshake(DWORD start, int limitMs);
    void NoteFailure(const char* hostName, int port, Fault fault);
    void NoteConnected(const char* hostName, int port);
    // 1 ready, 0 time up or running cleared, -1 failed.
    int WaitSocket(bool write, DWORD start, int limitMs);
    bool WaitToReadAgain(int error, DWORD start);
    // Frees ssl and closes sock, whichever are set.
    void Release();
    void Wake() override;

    // Every wait of the worker, so that Stop ends a wait at once instead of
    // the wait stepping to look at running (it still steps if the system
    // gave no wake object).
    CSocketWait waiter;

    const CTlsContext* trust;

    // What began the current run of failed connects, which is logged;
    // kNone while connections stand.
    Fault failing;
};
