#include "CSimServer.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CRestSession.h"
#include "CStreamSession.h"
#include "CTlsConnection.h"
#include "SimLog.h"

CSimServer::CSimServer(const SimOptions& options,
                       SSL_CTX* tls,
                       CMarketModel& model,
                       CSimControl& control,
                       const CStopSignal& stop)
    : options(options), tls(tls), model(model), control(control), stop(stop) {}

CSimServer::~CSimServer() {
    ReapSessions(true);
    if (restListener >= 0) close(restListener);
    if (streamListener >= 0) close(streamListener);
}

int CSimServer::OpenListener(int port, int& boundPortOut, std::string& errorOut) {
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, options.bindAddress.c_str(), &address.sin_addr) != 1) {
        errorOut = "bad --bind address \"" + options.bindAddress + "\"";
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    // A restarted simulator must get its fixed port back at once.
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
        errorOut = "cannot listen on " + options.bindAddress + ":" + std::to_string(port) + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &size);
    boundPortOut = ntohs(address.sin_port);
    return fd;
}

bool CSimServer::Listen(std::string& errorOut) {
    restListener = OpenListener(options.restPort, restPort, errorOut);
    if (restListener < 0) return false;
    streamListener = OpenListener(options.streamPort, streamPort, errorOut);
    return streamListener >= 0;
}

void CSimServer::Run() {
    while (!stop.Raised()) {
        struct pollfd entries[3] = {{stop.Fd(), POLLIN, 0}, {restListener, POLLIN, 0}, {streamListener, POLLIN, 0}};
        // No time-out: a stop or a connection wakes us.
        if (poll(entries, 3, -1) < 0 && errno != EINTR) break;
        if (entries[0].revents) break;
        if (entries[1].revents) Accept(restListener, kRestSession);
        if (entries[2].revents) Accept(streamListener, kStreamSession);
        ReapSessions(false);
    }
    SimLog("stopping: waiting for %zu sessions", sessions.size());
    ReapSessions(true);
    SimLog("stopped");
}

void CSimServer::Accept(int listener, SessionKind kind) {
    struct sockaddr_in address = {};
    socklen_t size = sizeof address;
    const int fd = accept4(listener, reinterpret_cast<struct sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // Each document goes out when written, not held back for an ACK: the
    // stream's timing is part of what the tests look at.
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    const std::string peer = std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
    std::lock_guard<std::mutex> guard(sessionsLock);
    if (sessions.size() >= static_cast<size_t>(kMaxSessions)) {
        SimLog("refused %s: %d sessions already", peer.c_str(), kMaxSessions);
        close(fd);
        return;
    }
    const int id = nextId++;
    sessions.emplace_back(new Session);
    Session* session = sessions.back().get();
    session->thread = std::thread(&CSimServer::RunSession, this, fd, kind, id, peer, session);
}

void CSimServer::RunSession(int fd, SessionKind kind, int id, std::string peer, Session* session) {
    const char* name = kind == kRestSession ? "rest" : "stream";
    SessionContext context = {id, peer, tls, model, control, options, stop, control.FaultsFor(kind)};
    SimLog("#%d %s: connection from %s, faults %s", id, name, peer.c_str(), context.faults.ToString().c_str());
    {
        CTlsConnection connection(fd, stop);
        if (context.faults.Has(kFaultStallAccept)) {
            SimLog("#%d %s: stalled before the TLS handshake", id, name);
            connection.WaitUntilPeerGone(kStallLimitMs);
        } else if (!connection.Handshake(tls, kTlsHandshakeMs)) {
            SimLog("#%d %s: TLS handshake failed", id, name);
        } else if (kind == kRestSession) {
            CRestSession(context, connection).Run();
        } else {
            CStreamSession(context, connection).Run();
        }
    }
    SimLog("#%d %s: closed", id, name);
    std::lock_guard<std::mutex> guard(sessionsLock);
    session->done = true;
}

void CSimServer::ReapSessions(bool all) {
    std::list<std::unique_ptr<Session>> ended;
    {
        std::lock_guard<std::mutex> guard(sessionsLock);
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (all || (*it)->done) {
                ended.push_back(std::move(*it));
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock: a session ending now takes it to mark itself.
    for (auto& session : ended)
        session->thread.join();
}
