#include "CTlsConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include "CDeadline.h"

// A client that stops reading must not hold a session thread for ever.
static const int kWriteLimitMs = 10000;

CTlsConnection::CTlsConnection(int fd, const CStopSignal& stop) : fd(fd), stop(stop) {}

CTlsConnection::~CTlsConnection() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) close(fd);
}

// After an SSL call that could not go on: waits for what it wants.
// 1 to retry, 0 on time-out, -1 on a failure or a stop.
int CTlsConnection::WaitFor(int sslResult, int timeoutMs) {
    const int error = SSL_get_error(ssl, sslResult);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
    return stop.Wait(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeoutMs);
}

bool CTlsConnection::Handshake(SSL_CTX* context, int timeoutMs) {
    ssl = SSL_new(context);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) return false;
    const CDeadline deadline(timeoutMs);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_accept(ssl);
        if (result == 1) return true;
        if (WaitFor(result, deadline.LeftMs()) != 1) return false;
    }
}

int CTlsConnection::Read(char* buffer, int size, int timeoutMs) {
    const CDeadline deadline(timeoutMs);
    for (;;) {
        if (!ssl) {
            const int ready = stop.Wait(fd, POLLIN, deadline.LeftMs());
            if (ready != 1) return ready == 0 ? kTimedOut : -1;
            const ssize_t got = recv(fd, buffer, size, 0);
            return got >= 0 ? static_cast<int>(got) : -1;
        }
        ERR_clear_error();
        const int got = SSL_read(ssl, buffer, size);
        if (got > 0) return got;
        if (SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN) return 0;
        const int ready = WaitFor(got, deadline.LeftMs());
        if (ready != 1) return ready == 0 ? kTimedOut : -1;
    }
}

bool CTlsConnection::WriteAll(const char* data, size_t size, int timeoutMs) {
    const CDeadline deadline(timeoutMs);
    while (size > 0) {
        ERR_clear_error();
        const int written = SSL_write(ssl, data, static_cast<int>(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (WaitFor(written, deadline.LeftMs()) != 1) {
            return false;
        }
    }
    return true;
}

bool CTlsConnection::Write(const std::string& data, int byteDelayMs) {
    if (!ssl) return false;
    if (byteDelayMs <= 0) return WriteAll(data.data(), data.size(), kWriteLimitMs);
    for (size_t i = 0; i < data.size(); i++) {
        if (i > 0 && !stop.Sleep(byteDelayMs)) return false;
        if (!WriteAll(data.data() + i, 1, kWriteLimitMs)) return false;
    }
    return true;
}

void CTlsConnection::CloseNotify() {
    if (ssl) SSL_shutdown(ssl);
}

void CTlsConnection::Reset() {
    const struct linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
    fd = -1;
}

void CTlsConnection::WaitUntilPeerGone(int limitMs) {
    const CDeadline deadline(limitMs);
    char scratch[4096];
    while (fd >= 0 && !deadline.Passed()) {
        if (Read(scratch, sizeof scratch, deadline.LeftMs()) <= 0) return;
    }
}
