#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "FrameCodec.h"
#include "RecordingWindow.h"
#include "TempWorkingDirectory.h"
#include "TickCount.h"
#include "TlsTestServer.h"

class CHttpsThread;
class CThread;
class CTlsContext;

// What a worker test needs around the worker: a test root that the worker
// trusts (as its ca_file), a window that collects the published values as
// the core's would, a scratch directory for the log, TLS servers for
// "localhost" on ephemeral ports, and the settings a worker starts with.
class WorkerTestBed {
public:
    // The configuration's block of dir, polling_interval and tmout_ms.
    struct Settings {
        char dir[64] = "/api/1/";
        int polling_interval = 1;
        int tmout_ms = 2000;
    };

    // A server for "localhost" with a certificate of the test root, which
    // the process trusts from the first call until it exits.
    std::unique_ptr<TlsTestServer> Serve(TlsTestServer::Handler handler,
                                         TlsTestServer::Options options = TlsTestServer::Options());

    // Starts worker on topic, with the given linked items, publishing to
    // the window and trusting trust, or the test root when trust is null.
    void Start(CHttpsThread& worker, const std::string& topic, const std::vector<std::string>& items);

    // Clears running and waits up to limitMs for the thread to end; returns
    // the milliseconds it took, or -1 when it did not end; 0 for a worker
    // that was never started.
    static int StopAndWait(CThread& worker, DWORD limitMs);

    // The values of the published records, in order.
    static std::vector<std::string> ValuesOf(const std::vector<RecordingWindow::Event>& values);

    Settings settings;
    int timeAdjustMin = 540;
    const CTlsContext* trust = nullptr;
    RecordingWindow window;
    TempWorkingDirectory directory;
};

// Stops a worker when it goes out of scope, before the worker itself and
// any server declared before it, whichever way the test leaves.
class WorkerStopper {
public:
    explicit WorkerStopper(CThread& worker) : worker(worker) {}
    ~WorkerStopper() { WorkerTestBed::StopAndWait(worker, 15000); }
    WorkerStopper(const WorkerStopper&) = delete;
    WorkerStopper& operator=(const WorkerStopper&) = delete;

private:
    CThread& worker;
};

// One request as a test server reads it: up to and including the empty
// line; empty when none came within timeoutMs.
std::string ReadRequest(TlsTestServer::Connection& connection, int timeoutMs = 5000);

// "HTTP/1.0 200 OK" with Content-Length and the given extra header lines.
std::string HttpResponse(const std::string& body, const std::string& headers = "Connection: keep-alive\r\n");

// Reads one client frame, which must be masked; false when none came or it
// was not masked.
bool ReadClientFrame(TlsTestServer::Connection& connection, int* opcode, std::string* payload, int timeoutMs = 3000);

// For a worker whose clock is HeldClock and whose first connection server
// has just accepted: true when the next connection waits until intervalMs
// have passed on that clock, not a millisecond less however many steps the
// worker's wait takes, and then comes; otherwise false with the reason.
bool NextConnectionAfter(const TlsTestServer& server, DWORD intervalMs, std::string* whyOut);
