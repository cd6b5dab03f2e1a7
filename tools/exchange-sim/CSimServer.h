#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <openssl/ssl.h>

#include "CMarketModel.h"
#include "CSimControl.h"
#include "CStopSignal.h"
#include "SimOptions.h"

// The two listeners and their sessions, one thread each. Run() returns when
// the stop signal is raised, after every session has ended.
class CSimServer {
public:
    // Connections beyond this are closed at once rather than given a thread.
    static const int kMaxSessions = 64;

    CSimServer(const SimOptions& options,
               SSL_CTX* tls,
               CMarketModel& model,
               CSimControl& control,
               const CStopSignal& stop);
    ~CSimServer();
    CSimServer(const CSimServer&) = delete;
    CSimServer& operator=(const CSimServer&) = delete;

    // Binds both ports; false with the reason in errorOut.
    bool Listen(std::string& errorOut);
    int RestPort() const { return restPort; }
    int StreamPort() const { return streamPort; }
    void Run();

private:
    struct Session {
        std::thread thread;
        bool done = false;
    };

    int OpenListener(int port, int& boundPortOut, std::string& errorOut);
    void Accept(int listener, SessionKind kind);
    void RunSession(int fd, SessionKind kind, int id, std::string peer, Session* session);
    void ReapSessions(bool all);

    const SimOptions& options;
    SSL_CTX* tls;
    CMarketModel& model;
    CSimControl& control;
    const CStopSignal& stop;
    int restListener = -1;
    int streamListener = -1;
    int restPort = 0;
    int streamPort = 0;
    int nextId = 1;
    std::mutex sessionsLock;
    std::list<std::unique_ptr<Session>> sessions;
};
