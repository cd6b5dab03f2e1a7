#include "SimHarness.h"

#include <cstring>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include "Waiting.h"

int ConnectTcp(int port) {
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

TlsClient::TlsClient(int port, const std::string& caFile) : context(SSL_CTX_new(TLS_client_method())) {
    fd = ConnectTcp(port);
    if (fd < 0) return;
    struct timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!context || SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) return;
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL* session = SSL_new(context.get());
    SSL_set_fd(session, fd);
    SSL_set_tlsext_host_name(session, "localhost");
    SSL_set1_host(session, "localhost");
    if (SSL_connect(session) != 1) {
        SSL_free(session);
        return;
    }
    // Reads below wait with poll and then read without blocking.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ssl = session;
}

TlsClient::~TlsClient() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) close(fd);
}

bool TlsClient::Write(const std::string& data) {
    size_t sent = 0;
    const long long end = NowMs() + 10000;
    while (ssl && sent < data.size() && NowMs() < end) {
        ERR_clear_error();
        const int written = SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent));
        if (written > 0) {
            sent += written;
            continue;
        }
        const int error = SSL_get_error(ssl, written);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
        struct pollfd entry = {fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        poll(&entry, 1, 100);
    }
    return sent == data.size();
}

int TlsClient::ReadSome(std::string& out, int timeoutMs) {
    if (!ssl) return -1;
    const long long end = NowMs() + timeoutMs;
    for (;;) {
        char buffer[16384];
        ERR_clear_error();
        const int got = SSL_read(ssl, buffer, sizeof buffer);
        if (got > 0) {
            out.append(buffer, got);
            return 1;
        }
        const int error = SSL_get_error(ssl, got);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
        const long long left = end - NowMs();
        if (left <= 0) return -2;
        struct pollfd entry = {fd, POLLIN, 0};
        poll(&entry, 1, static_cast<int>(left));
    }
}

bool TlsClient::ReadExactly(size_t n, std::string& out, int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    while (buffered.size() < n) {
        const long long left = end - NowMs();
        if (left <= 0 || ReadSome(buffered, static_cast<int>(left)) != 1) return false;
    }
    out = buffered.substr(0, n);
    buffered.erase(0, n);
    return true;
}

std::string TlsClient::ReadHead(int timeoutMs) {
    const long long end = NowMs() + timeoutMs;
    for (;;) {
        const size_t at = buffered.find("\r\n\r\n");
        if (at != std::string::npos) {
            const std::string head = buffered.substr(0, at + 4);
            buffered.erase(0, at + 4);
            return head;
        }
        const long long left = end - NowMs();
        if (left <= 0 || ReadSome(buffered, static_cast<int>(left)) != 1) return "";
    }
}

std::string HttpResponse::Header(const std::string& name) const {
    std::istringstream lines(head);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon != name.size() || strncasecmp(line.c_str(), name.c_str(), colon) != 0) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (!value.empty() && value.back() == '\r') value.pop_back();
        return value;
    }
    return "";
}

bool ReadHttpResponse(TlsClient& client, HttpResponse& out, int timeoutMs) {
    out = HttpResponse();
    out.head = client.ReadHead(timeoutMs);
    if (sscanf(out.head.c_str(), "HTTP/1.%*d %d", &out.status) != 1) return false;
    if (!out.Header("Content-Length").empty())
        return client.ReadExactly(std::stoul(out.Header("Content-Length")), out.body, timeoutMs);
    if (out.Header("Transfer-Encoding").empty()) return true;
    for (;;) {
        std::string line;
        std::string byte;
        while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            if (!client.ReadExactly(1, byte, timeoutMs)) return false;
            line += byte;
        }
        const size_t size = std::stoul(line, nullptr, 16);
        std::string chunk;
        if (!client.ReadExactly(size + 2, chunk, timeoutMs)) return false;
        if (size == 0) return true;
        out.body += chunk.substr(0, size);
    }
}

bool ReadFrame(TlsClient& client, WebSocketFrame& out, int timeoutMs) {
    out = WebSocketFrame();
    auto source = [&](size_t count, std::string* bytesOut) { return client.ReadExactly(count, *bytesOut, timeoutMs); };
    return ReadFrame(source, &out);
}

std::string Upgrade(TlsClient& client, const std::string& pair, const std::string& key) {
    client.Write("GET /stream?currency_pair=" + pair +
                 " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nconnection: upgrade\r\n"
                 "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " +
                 key + "\r\n\r\n");
    return client.ReadHead(10000);
}
