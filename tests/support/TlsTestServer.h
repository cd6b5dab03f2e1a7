#pragma once

// A TLS server on 127.0.0.1 for tests of the client side: binds an ephemeral
// port, accepts connections one after another on a thread of its own, and
// hands each one to a handler the test supplies, which scripts what the
// server says and when. Blocking sockets throughout; the handler may take
// as long as it likes, and the destructor waits for it.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Socket.h"
#include "TestCertificates.h"

class TlsTestServer {
public:
    // One accepted connection, as the handler sees it.
    class Connection {
    public:
        Connection(TlsTestServer& server, socket_t sock, SSL* ssl) : server(server), sock(sock), ssl(ssl) {}

        // SSL_write of all of text; false when the client is gone.
        bool Write(const std::string& text);
        // Reads until count bytes are in, the peer closes, or timeoutMs
        // passes; returns what arrived.
        std::string Read(size_t count, int timeoutMs);
        // TLS close notify, then a TCP close.
        void CloseCleanly();
        // A TCP reset: no close notify, and the client's next read fails.
        void Reset();
        // Sleeps until the server is being destroyed or milliseconds pass.
        void HoldFor(int milliseconds);
        // Keeps the connection, throwing away whatever the client sends,
        // until the client closes it or the server is being destroyed.
        void HoldUntilClosed();

        // The name the client sent as SNI; empty when it sent none.
        std::string ServerName() const;
        // Null when the server does not shake hands (Options::handshake).
        SSL* Ssl() const { return ssl; }
        // Invalid once Reset has closed it.
        socket_t Socket() const { return sock; }

    private:
        TlsTestServer& server;
        socket_t sock;
        SSL* ssl;
    };
    using Handler = std::function<void(Connection&)>;

    struct Options {
        // When false the handler gets the bare TCP connection: a server that
        // accepts and never answers a ClientHello.
        bool handshake = true;
    };

    TlsTestServer(const TestCertificate& certificate, Handler handler, Options options);
    TlsTestServer(const TestCertificate& certificate, Handler handler)
        : TlsTestServer(certificate, std::move(handler), Options()) {}
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    // The bound port; 0 when the server could not start.
    int Port() const { return port; }
    // Connections accepted so far, and of those whose TLS handshake
    // succeeded.
    int Accepted() const { return accepted; }
    int HandshakesDone() const { return handshakes; }
    // Set when a handler has finished with its connection.
    int HandlersDone() const { return handlersDone; }

private:
    void Listen();
    void Serve();
    void ServeOne(socket_t client);
    bool Stopping() const { return stopping; }

    SslCtxPtr context;
    Handler handler;
    Options options;
    socket_t listener;
    int port;
    std::atomic<bool> stopping;
    std::atomic<int> accepted;
    std::atomic<int> handshakes;
    std::atomic<int> handlersDone;
    std::thread thread;
};
