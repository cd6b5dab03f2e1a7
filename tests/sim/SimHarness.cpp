#include "SimHarness.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string MakeTempDir() {
    char name[] = "/tmp/exchange-sim-test.XXXXXX";
    return mkdtemp(name) ? name : "";
}

pid_t Spawn(const std::vector<std::string>& args, int stdoutFd, const std::string& stderrPath) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(stdoutFd, 1);
    const int log = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) dup2(log, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

// Reads lines from fd until both port lines came, the pipe ended, or 10 s.
void ReadPorts(int fd, int& restOut, int& streamOut) {
    std::string text;
    const int64_t end = NowMs() + 10000;
    while ((restOut == 0 || streamOut == 0) && NowMs() < end) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(end - NowMs())) <= 0) break;
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, got);
        sscanf(text.c_str(), "rest-port %d\nstream-port %d", &restOut, &streamOut);
    }
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& extra) : dir(MakeTempDir()) {
    std::vector<std::string> args = {
        EXCHANGE_SIM_PATH, "--make-certs", dir + "/certs", "--rest-port", "0", "--stream-port", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    int ends[2];
    if (dir.empty() || pipe2(ends, O_CLOEXEC) != 0) return;
    pid = Spawn(args, ends[1], dir + "/sim.log");
    close(ends[1]);
    ReadPorts(ends[0], restPort, streamPort);
    close(ends[0]);
}

SimProcess::~SimProcess() {
    Stop(SIGKILL, 5000);
    if (!dir.empty()) std::filesystem::remove_all(dir);
}

std::string SimProcess::Log() const {
    std::ifstream in(dir + "/sim.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SimProcess::WaitForLog(const std::string& text, int ms) const {
    const int64_t end = NowMs() + ms;
    for (;;) {
        if (Log().find(text) != std::string::npos) return true;
        if (NowMs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int SimProcess::Stop(int sig, int ms) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    const int64_t end = NowMs() + ms;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (NowMs() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunSimOnce(const std::vector<std::string>& args, std::string& outputOut) {
    std::vector<std::string> argv = {EXCHANGE_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    const pid_t pid = Spawn(argv, ends[1], "/dev/null");
    close(ends[1]);
    outputOut.clear();
    char buffer[4096];
    ssize_t got;
    while ((got = read(ends[0], buffer, sizeof buffer)) > 0)
        outputOut.append(buffer, got);
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TlsClient::TlsClient(int port, const std::string& caFile) : context(SSL_CTX_new(TLS_client_method())) {
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) return;
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
    const int64_t end = NowMs() + 10000;
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
    const int64_t end = NowMs() + timeoutMs;
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
        const int64_t left = end - NowMs();
        if (left <= 0) return -2;
        struct pollfd entry = {fd, POLLIN, 0};
        poll(&entry, 1, static_cast<int>(left));
    }
}

bool TlsClient::ReadExactly(size_t n, std::string& out, int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    while (buffered.size() < n) {
        const int64_t left = end - NowMs();
        if (left <= 0 || ReadSome(buffered, static_cast<int>(left)) != 1) return false;
    }
    out = buffered.substr(0, n);
    buffered.erase(0, n);
    return true;
}

std::string TlsClient::ReadHead(int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    for (;;) {
        const size_t at = buffered.find("\r\n\r\n");
        if (at != std::string::npos) {
            const std::string head = buffered.substr(0, at + 4);
            buffered.erase(0, at + 4);
            return head;
        }
        const int64_t left = end - NowMs();
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

bool ReadFrame(TlsClient& client, ClientFrame& out, int timeoutMs) {
    std::string head;
    if (!client.ReadExactly(2, head, timeoutMs)) return false;
    out = ClientFrame();
    out.fin = (head[0] & 0x80) != 0;
    out.opcode = head[0] & 0x0F;
    out.masked = (head[1] & 0x80) != 0;
    uint64_t length = head[1] & 0x7F;
    out.lengthForm = length == 127 ? 64 : length == 126 ? 16 : 7;
    std::string extended;
    const size_t extra = out.lengthForm == 64 ? 8 : out.lengthForm == 16 ? 2 : 0;
    if (extra && !client.ReadExactly(extra, extended, timeoutMs)) return false;
    if (extra) length = 0;
    for (unsigned char byte : extended)
        length = (length << 8) | byte;
    std::string mask;
    if (out.masked && !client.ReadExactly(4, mask, timeoutMs)) return false;
    if (length > (64u << 20) || !client.ReadExactly(static_cast<size_t>(length), out.payload, timeoutMs)) return false;
    for (size_t i = 0; out.masked && i < out.payload.size(); i++)
        out.payload[i] = static_cast<char>(out.payload[i] ^ mask[i % 4]);
    return true;
}

std::string Upgrade(TlsClient& client, const std::string& pair, const std::string& key) {
    client.Write("GET /stream?currency_pair=" + pair +
                 " HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nconnection: upgrade\r\n"
                 "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " +
                 key + "\r\n\r\n");
    return client.ReadHead(10000);
}
