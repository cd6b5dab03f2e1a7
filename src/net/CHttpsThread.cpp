#include "CHttpsThread.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "CLog.h"

namespace {

// One wait on a socket is at most this long, so that a cleared running flag
// is seen within a tenth of a second.
const int kWaitStepMs = 100;

struct SslErrorName {
    int code;
    const char* text;
};

// clang-format off
const SslErrorName kSslErrorNames[] = {
    {SSL_ERROR_SSL,              "SSL_ERROR_SSL\r\n"},
    {SSL_ERROR_WANT_READ,        "SSL_ERROR_WANT_READ\r\n"},
    {SSL_ERROR_WANT_WRITE,       "SSL_ERROR_WANT_WRITE\r\n"},
    {SSL_ERROR_WANT_X509_LOOKUP, "SSL_ERROR_WANT_X509_LOOKUP\r\n"},
    {SSL_ERROR_SYSCALL,          "SSL_ERROR_SYSCALL\r\n"},
    {SSL_ERROR_ZERO_RETURN,      "SSL_ERROR_ZERO_RETURN\r\n"},
    {SSL_ERROR_WANT_CONNECT,     "SSL_ERROR_WANT_CONNECT\r\n"},
    {SSL_ERROR_WANT_ACCEPT,      "SSL_ERROR_WANT_ACCEPT\r\n"},
};
// clang-format on

struct FaultText {
    CHttpsThread::Fault fault;
    const char* text;
};

// clang-format off
const FaultText kFaultTexts[] = {
    {CHttpsThread::Fault::kNameNotResolved, "名前解決できません"},
    {CHttpsThread::Fault::kRefused,         "接続拒否"},
    {CHttpsThread::Fault::kTimedOut,        "タイムアウト"},
    {CHttpsThread::Fault::kNetwork,         "ネットワークエラー"},
    {CHttpsThread::Fault::kHandshake,       "TLSハンドシェイク失敗"},
};
// clang-format on

const char* FaultReason(CHttpsThread::Fault fault) {
    for (const FaultText& text : kFaultTexts) {
        if (text.fault == fault) return text.text;
    }
    return "";
}

// A connect that failed with error, as the log names it; a failure that
// reports no error is still one.
CHttpsThread::Fault FailedConnect(int error) {
    if (error == kConnectionRefused) return CHttpsThread::Fault::kRefused;
    if (error == kConnectTimedOut) return CHttpsThread::Fault::kTimedOut;
    return CHttpsThread::Fault::kNetwork;
}

// Milliseconds left of limitMs since start on the wrapping tick counter;
// 0 or less when the time is up.
int TimeLeft(DWORD start, int limitMs) {
    return limitMs - (int)(GetTickCount() - start);
}

bool ResolveIPv4(const char* hostName, int port, sockaddr_in* addressOut) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(hostName, nullptr, &hints, &results) != 0 || !results) return false;
    memcpy(addressOut, results->ai_addr, sizeof(*addressOut));
    freeaddrinfo(results);
    addressOut->sin_port = htons((unsigned short)port);
    return true;
}

void CopyCut(char* dest, size_t destSize, const char* text) {
    size_t length = std::min(strlen(text), destSize - 1);
    memcpy(dest, text, length);
    dest[length] = '\0';
}

}  // namespace

CHttpsThread::CHttpsThread()
    : host{},
      cookie{},
      sock(kInvalidSocket),
      ssl(nullptr),
      serverHost{},
      serverPort(0),
      tickCount(GetTickCount),
      trust(nullptr),
      failing(Fault::kNone) {
    start_socket_library();
}

CHttpsThread::~CHttpsThread() {
    Disconnect();
    stop_socket_library();
}

void CHttpsThread::Wake() {
    waiter.Wake();
}

void CHttpsThread::SetTrust(const CTlsContext* context) {
    trust = context;
}

void CHttpsThread::SetServer(const char* hostName, int port) {
    CopyCut(serverHost, sizeof(serverHost), hostName);
    serverPort = port;
}

int CHttpsThread::ConnectTimeoutMs() const {
    return timeoutMs > 0 ? timeoutMs : kDefaultConnectTimeoutMs;
}

int CHttpsThread::Connect(const char* hostName, int port) {
    if (port <= 0 || port > 65535) return -1;
    Fault fault = Open(hostName, port);
    if (fault != Fault::kNone) {
        // A stop ends the wait of a connect that might yet have stood.
        if (running) NoteFailure(hostName, port, fault);
        Release();
        return -1;
    }
    NoteConnected(hostName, port);
    return 0;
}

CHttpsThread::Fault CHttpsThread::Open(const char* hostName, int port) {
    DWORD start = GetTickCount();
    int limitMs = ConnectTimeoutMs();
    sockaddr_in address;
    if (!ResolveIPv4(hostName, port, &address)) return Fault::kNameNotResolved;
    sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == kInvalidSocket) return Fault::kNetwork;
    Fault fault = ConnectTcp(address, start, limitMs);
    if (fault != Fault::kNone) return fault;
    CopyCut(host, sizeof(host), hostName);

    if (!MakeVerifyingConnection(hostName)) return Fault::kHandshake;
    return Handshake(start, limitMs);
}

// A non-blocking connect, so that a host that drops our packets costs
// limitMs and not the system's minutes-long connect time-out. The socket
// stays non-blocking from here on: the handshake and every read wait with
// the worker's waiter.
CHttpsThread::Fault CHttpsThread::ConnectTcp(const sockaddr_in& address, DWORD start, int limitMs) {
    if (!set_nonblocking(sock, true)) return Fault::kNetwork;
    int started = connect_started(sock, (const sockaddr*)&address, sizeof(address));
    if (started == 0) return Fault::kNone;
    if (started < 0) return FailedConnect(last_socket_error());
    int ready = WaitSocket(true, start, limitMs);
    if (ready == 0) return Fault::kTimedOut;
    if (ready < 0) return Fault::kNetwork;
    int error = pending_error(sock);
    return error == 0 ? Fault::kNone : FailedConnect(error);
}

bool CHttpsThread::MakeVerifyingConnection(const char* hostName) {
    if (!trust || !trust->Get()) return false;
    ssl = SSL_new(trust->Get());
    if (!ssl) return false;
    SSL_set_options(ssl, SSL_OP_NO_TICKET);
    // An address is checked against the certificate's IP entries and is
    // never sent as SNI, which carries names only.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, hostName) != 1) {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set_tlsext_host_name(ssl, hostName) != 1 || SSL_set1_host(ssl, hostName) != 1) return false;
    }
    return SSL_set_fd(ssl, (int)sock) == 1;
}

// A server that takes the TCP connection and never answers our hello uses
// up the time-out; one that answers with something other than TLS fails.
CHttpsThread::Fault CHttpsThread::Handshake(DWORD start, int limitMs) {
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(ssl);
        if (result == 1) return Fault::kNone;
        int error = SSL_get_error(ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return SSL_get_verify_result(ssl) != X509_V_OK ? Fault::kCertificate : Fault::kHandshake;
        int ready = WaitSocket(error == SSL_ERROR_WANT_WRITE, start, limitMs);
        if (ready == 0) return Fault::kTimedOut;
        if (ready < 0) return Fault::kHandshake;
    }
}

// A worker retries a failing server again and again; one line when a run
// of failures begins and one when it ends tell the user what is wrong and
// when it was mended without filling the log. Reasons flap on a poor
// network (a time-out, then a refusal), so a new reason within the run
// stays quiet too.
void CHttpsThread::NoteFailure(const char* hostName, int port, Fault fault) {
    if (failing != Fault::kNone) return;
    failing = fault;
    char text[kHostSize + 128];
    if (fault == Fault::kCertificate) {
        long result = SSL_get_verify_result(ssl);
        snprintf(text, sizeof(text), "%s:%d certificate verify failed: %s", hostName, port,
                 X509_verify_cert_error_string(result));
    } else {
        snprintf(text, sizeof(text), "%s:%d 接続失敗（%s）", hostName, port, FaultReason(fault));
    }
    CLog::Write("%s\r\n", text);
    NoteFailing(text);
}

void CHttpsThread::NoteConnected(const char* hostName, int port) {
    if (failing == Fault::kNone) return;
    failing = Fault::kNone;
    CLog::Write("%s:%d 接続回復\r\n", hostName, port);
    NoteRecovered();
}

int CHttpsThread::WaitSocket(bool write, DWORD start, int limitMs) {
    for (;;) {
        int left = TimeLeft(start, limitMs);
        if (left <= 0 || !running) return 0;
        int step = waiter.CanWake() ? left : std::min(left, kWaitStepMs);
        int ready = waiter.Wait(sock, step, write);
        if (ready != 0) return ready;
    }
}

int CHttpsThread::Send(const char* text) {
    DWORD start = GetTickCount();
    if (!ssl) return -1;
    int length = (int)strlen(text);
    for (;;) {
        ERR_clear_error();
        int result = SSL_write(ssl, text, length);
        if (result > 0) return result;
        int error = SSL_get_error(ssl, result);
        // Our requests are small, but a full send buffer on the non-blocking
        // socket must delay the write, not drop it. The retry repeats the
        // same call, as OpenSSL requires.
        bool retry = error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
        if (!retry || WaitSocket(error == SSL_ERROR_WANT_WRITE, start, ConnectTimeoutMs()) != 1) {
            if (result < 0) LogSslError(error);
            return result;
        }
    }
}

int CHttpsThread::Receive(char* buffer, int count) {
    DWORD start = GetTickCount();
    if (timeoutMs <= 0) return 0;
    if (!ssl) return -1;
    int got = 0;
    int result = 0;
    int error = SSL_ERROR_NONE;
    while (got < count) {
        ERR_clear_error();
        result = SSL_read(ssl, buffer + got, count - got);
        if (result == 0) break;
        if (result > 0) {
            got += result;
        } else {
            error = SSL_get_error(ssl, result);
            if (!WaitToReadAgain(error, start)) break;
        }
        if (TimeLeft(start, timeoutMs) <= 0) break;
    }
    if (result >= 0) return got;
    // Short of a peer's close, a read cut off by a stop is no whole message
    // nor a whole close-delimited body, so it must not pass for one.
    if (error == SSL_ERROR_WANT_READ) return running ? got : -1;
    LogSslError(error);
    return -1;
}

// After a read that returned no data: false when the read is not to be
// repeated. Waits for the socket until the rest of timeoutMs is up or a stop
// wakes it (without a wake socket, one step at a time). A broken
// connection fails every further read at once, so it is not read again:
// the rest of the time is slept instead, and the failure is reported when
// the time is up, as it would be had the connection stayed silent.
bool CHttpsThread::WaitToReadAgain(int error, DWORD start) {
    int left = TimeLeft(start, timeoutMs);
    if (left <= 0 || !running) return false;
    int step = waiter.CanWake() ? left : std::min(left, kWaitStepMs);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return waiter.Wait(sock, step, error == SSL_ERROR_WANT_WRITE) >= 0;
    for (; left > 0 && running; left = TimeLeft(start, timeoutMs))
        waiter.Wait(kInvalidSocket, std::min(left, step), false);
    return false;
}

void CHttpsThread::Disconnect() {
    if (ssl) {
        SSL_shutdown(ssl);
        ERR_clear_error();
    }
    Release();
}

void CHttpsThread::Release() {
    if (ssl) SSL_free(ssl);
    ssl = nullptr;
    if (sock != kInvalidSocket) {
        waiter.Forget(sock);
        close_socket(sock);
    }
    sock = kInvalidSocket;
}

void CHttpsThread::WaitSeconds(int seconds) {
    if (seconds <= 0) return;
    // The signed elapsed time of the tick counter reaches about 24 days.
    WaitMilliseconds(seconds > 2000000 ? 2000000000 : seconds * 1000);
}

void CHttpsThread::WaitMilliseconds(int limitMs) {
    if (limitMs <= 0 || !running) return;
    // A clock a test holds moves only when the test says: it is read again
    // every step. The system's clock is waited on whole.
    const bool wholeWait = tickCount == GetTickCount && waiter.CanWake();
    DWORD start = tickCount();
    for (;;) {
        int left = limitMs - (int)(tickCount() - start);
        if (left <= 0) return;
        waiter.Wait(kInvalidSocket, wholeWait ? left : std::min(left, kWaitStepMs), false);
        if (!running) return;
    }
}

void CHttpsThread::LogSslError(int code) {
    for (const SslErrorName& name : kSslErrorNames) {
        if (name.code == code) {
            CLog::Write("%s", name.text);
            return;
        }
    }
}

int CHttpsThread::GetHeaderValue(char* dest, int destSize, const char* headerName, const char* text) {
    const char* found = strstr(text, headerName);
    if (!found || destSize <= 0) return 0;
    const char* value = found + strlen(headerName);
    int length = 0;
    while (length < destSize - 1 && value[length] != '\0' && value[length] != '\r')
        ++length;
    memcpy(dest, value, length);
    dest[length] = '\0';
    return length;
}

bool CHttpsThread::MakeRequest(char*) {
    return true;
}

int CHttpsThread::OnReceive(const char*) {
    return 0;
}
