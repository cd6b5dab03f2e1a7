#include "CConnectionStream.h"

#include <openssl/err.h>

#include "CHttpsThread.h"

namespace {

const int kWriteStepMs = 100;

}  // namespace

CConnectionStream::CConnectionStream(CHttpsThread& connection)
    : connection(connection), start(GetTickCount()), limitMs(0), limitAfterFirstByteMs(0), ended(false) {}

void CConnectionStream::StartClock(int limit) {
    start = GetTickCount();
    limitMs = limit;
    limitAfterFirstByteMs = 0;
}

void CConnectionStream::StartClockAtFirstByte(int limit) {
    StartClock(limit);
    limitAfterFirstByteMs = limit;
}

int CConnectionStream::TimeLeft() const {
    return limitMs - (int)(GetTickCount() - start);
}

int CConnectionStream::Read(char* buffer, int count) {
    if (limitAfterFirstByteMs <= 0 || count <= 0) return ReadWithinBudget(buffer, count);
    int got = ReadWithinBudget(buffer, 1);
    if (got != 1) return got;
    // A stop asked for in the quiet time is not to wait for a whole message
    // as well: the read returns short, as for a message cut off.
    if (!connection.running) return got;
    StartClock(limitAfterFirstByteMs);
    int rest = ReadWithinBudget(buffer + 1, count - 1);
    return rest < 0 ? -1 : 1 + rest;
}

// Receive waits timeoutMs from its own call; lending it what is left of the
// budget makes the budget bound every read together. Receive comes back
// early only with all bytes or when the peer has closed (a close notify, or
// the bare end of the TCP stream), so a short read with time left means
// the latter.
//
// Receive notices a stop only when it must wait. A peer that never lets it
// wait (a run of pings, which no data message ends) would hold a stop for
// the whole budget, so a stop cuts the read here, as Receive would.
int CConnectionStream::ReadWithinBudget(char* buffer, int count) {
    if (!connection.running) return -1;
    int left = TimeLeft();
    if (left <= 0 || count <= 0) return 0;
    int configured = connection.timeoutMs;
    connection.timeoutMs = left;
    int got = connection.Receive(buffer, count);
    connection.timeoutMs = configured;
    if (got >= 0 && got < count && TimeLeft() > 0) ended = true;
    if (connection.ssl && (SSL_get_shutdown(connection.ssl) & SSL_RECEIVED_SHUTDOWN)) ended = true;
    return got;
}

bool CConnectionStream::Ended() const {
    return ended;
}

// Send takes NUL-terminated text; WebSocket frames are binary and may hold
// zero bytes, so they are written here.
bool CConnectionStream::Write(const char* data, int count) {
    DWORD begun = GetTickCount();
    int limit = connection.timeoutMs;
    if (limit <= 0) limit = CHttpsThread::kDefaultConnectTimeoutMs;
    int written = 0;
    while (written < count && connection.ssl) {
        ERR_clear_error();
        int result = SSL_write(connection.ssl, data + written, count - written);
        if (result > 0) {
            written += result;
            continue;
        }
        int error = SSL_get_error(connection.ssl, result);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            CHttpsThread::LogSslError(error);
            return false;
        }
        // A peer that stops reading would otherwise hold a stop for the
        // whole time-out.
        if (!connection.running || (int)(GetTickCount() - begun) >= limit) return false;
        if (error == SSL_ERROR_WANT_WRITE) {
            wait_writable(connection.sock, kWriteStepMs);
        } else {
            wait_readable(connection.sock, kWriteStepMs);
        }
    }
    return written == count;
}
