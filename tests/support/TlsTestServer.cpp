#include "TlsTestServer.h"

#include <openssl/err.h>

#include "Waiting.h"

namespace {

const int kPollStepMs = 20;

}  // namespace

bool TlsTestServer::Connection::Write(const std::string& text) {
    if (!ssl) return send(sock, text.data(), (int)text.size(), 0) == (int)text.size();
    return SSL_write(ssl, text.data(), (int)text.size()) == (int)text.size();
}

std::string TlsTestServer::Connection::Read(size_t count, int timeoutMs) {
    std::string got;
    long long end = NowMs() + timeoutMs;
    char buffer[4096];
    while (got.size() < count) {
        long long left = end - NowMs();
        // Bytes OpenSSL holds already would not show on the socket.
        bool buffered = ssl && SSL_pending(ssl) > 0;
        if (left <= 0 || (!buffered && wait_readable(sock, (int)left) != 1)) break;
        int want = (int)std::min(sizeof(buffer), count - got.size());
        int result = ssl ? SSL_read(ssl, buffer, want) : recv(sock, buffer, want, 0);
        if (result <= 0) break;
        got.append(buffer, result);
    }
    return got;
}

void TlsTestServer::Connection::CloseCleanly() {
    if (ssl) SSL_shutdown(ssl);
    shutdown(sock, 1);  // SHUT_WR and SD_SEND alike
}

void TlsTestServer::Connection::Reset() {
    linger abort{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, (const char*)&abort, sizeof(abort));
    close_socket(sock);
    sock = kInvalidSocket;
}

void TlsTestServer::Connection::HoldFor(int milliseconds) {
    WaitUntil([&] { return server.Stopping(); }, milliseconds);
}

void TlsTestServer::Connection::HoldUntilClosed() {
    char buffer[4096];
    while (!server.Stopping()) {
        bool buffered = ssl && SSL_pending(ssl) > 0;
        if (!buffered && wait_readable(sock, kPollStepMs) != 1) continue;
        int result = ssl ? SSL_read(ssl, buffer, sizeof(buffer)) : recv(sock, buffer, sizeof(buffer), 0);
        if (result <= 0) return;
    }
}

std::string TlsTestServer::Connection::ServerName() const {
    const char* name = ssl ? SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

TlsTestServer::TlsTestServer(const TestCertificate& certificate, Handler handler, Options options)
    : context(SSL_CTX_new(TLS_server_method())),
      handler(std::move(handler)),
      options(options),
      listener(kInvalidSocket),
      port(0),
      stopping(false),
      accepted(0),
      handshakes(0),
      handlersDone(0) {
    start_socket_library();
    if (!context || !certificate.UseIn(context.get())) return;
    Listen();
    if (port != 0) thread = std::thread(&TlsTestServer::Serve, this);
}

TlsTestServer::~TlsTestServer() {
    stopping = true;
    if (thread.joinable()) thread.join();
    if (listener != kInvalidSocket) close_socket(listener);
    stop_socket_library();
}

void TlsTestServer::Listen() {
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == kInvalidSocket) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, (sockaddr*)&address, length) != 0 || listen(listener, 8) != 0) return;
    if (getsockname(listener, (sockaddr*)&address, &length) != 0) return;
    port = ntohs(address.sin_port);
}

void TlsTestServer::Serve() {
    while (!stopping) {
        if (wait_readable(listener, kPollStepMs) != 1) continue;
        socket_t client = accept(listener, nullptr, nullptr);
        if (client == kInvalidSocket) continue;
        ++accepted;
        ServeOne(client);
    }
}

void TlsTestServer::ServeOne(socket_t client) {
    SslPtr ssl;
    if (options.handshake) {
        ssl.reset(SSL_new(context.get()));
        SSL_set_fd(ssl.get(), (int)client);
        if (SSL_accept(ssl.get()) != 1) {
            ERR_clear_error();
            close_socket(client);
            return;
        }
        ++handshakes;
    }
    Connection connection(*this, client, ssl.get());
    handler(connection);
    ++handlersDone;
    ERR_clear_error();
    ssl.reset();
    // Reset() closes the socket itself.
    if (connection.Socket() != kInvalidSocket) close_socket(connection.Socket());
}
