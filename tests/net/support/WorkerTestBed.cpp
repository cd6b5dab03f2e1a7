#include <windows.h>

#include "WorkerTestBed.h"

#include "CHttpsThread.h"
#include "HeldClock.h"
#include "TrustedTestAuthority.h"
#include "TrustingContext.h"
#include "Waiting.h"

namespace {

// Made at the first use; kept until the process exits.
const TrustedTestAuthority& TestRoot() {
    static TrustedTestAuthority authority;
    return authority;
}

const CTlsContext* TestRootTrust() {
    static std::unique_ptr<CTlsContext> context = TrustingContext(TestRoot().RootFile());
    return context.get();
}

}  // namespace

std::unique_ptr<TlsTestServer> WorkerTestBed::Serve(TlsTestServer::Handler handler, TlsTestServer::Options options) {
    return std::make_unique<TlsTestServer>(TestRoot().IssueServer({"localhost"}), std::move(handler), options);
}

void WorkerTestBed::Start(CHttpsThread& worker, const std::string& topic, const std::vector<std::string>& items) {
    worker.SetTrust(trust ? trust : TestRootTrust());
    for (const std::string& item : items)
        worker.AddItem(item);
    worker.Start(window.Handle(), reinterpret_cast<const char*>(&settings), &timeAdjustMin, topic);
}

int WorkerTestBed::StopAndWait(CThread& worker, DWORD limitMs) {
    DWORD start = GetTickCount();
    worker.Stop();
    if (worker.thread == CThread::kNoThread) return 0;
    if (!WaitUntil([&] { return !worker.alive; }, limitMs)) return -1;
    return (int)Since(start);
}

std::vector<std::string> WorkerTestBed::ValuesOf(const std::vector<RecordingWindow::Event>& values) {
    std::vector<std::string> texts;
    for (const RecordingWindow::Event& value : values)
        texts.push_back(value.value);
    return texts;
}

std::string ReadRequest(TlsTestServer::Connection& connection, int timeoutMs) {
    std::string request;
    DWORD start = GetTickCount();
    while (request.find("\r\n\r\n") == std::string::npos) {
        int left = timeoutMs - (int)Since(start);
        if (left <= 0) return "";
        std::string byte = connection.Read(1, left);
        if (byte.empty()) return "";
        request += byte;
    }
    return request;
}

std::string HttpResponse(const std::string& body, const std::string& headers) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool ReadClientFrame(TlsTestServer::Connection& connection, int* opcode, std::string* payload, int timeoutMs) {
    WebSocketFrame frame;
    auto source = [&](size_t count, std::string* bytesOut) {
        *bytesOut = connection.Read(count, timeoutMs);
        return bytesOut->size() == count;
    };
    if (!ReadFrame(source, &frame) || !frame.masked) return false;
    *opcode = frame.opcode;
    *payload = frame.payload;
    return true;
}

bool NextConnectionAfter(const TlsTestServer& server, DWORD intervalMs, std::string* whyOut) {
    int seen = server.Accepted();
    if (!HeldClock::AwaitReads(3)) {
        *whyOut = "the worker does not wait on its clock";
        return false;
    }
    HeldClock::Advance(intervalMs - 1);
    HeldClock::AwaitReads(3);
    if (server.Accepted() != seen) {
        *whyOut = "connected again before the interval was up";
        return false;
    }
    HeldClock::Advance(1);
    if (!WaitUntil([&] { return server.Accepted() > seen; }, 10000)) {
        *whyOut = "did not connect again once the interval was up";
        return false;
    }
    return true;
}
