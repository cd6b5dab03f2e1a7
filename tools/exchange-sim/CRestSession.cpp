#include "CRestSession.h"

#include <cstdio>
#include <random>

#include "SimLog.h"

// clang-format off
struct StatusText {
    int status;
    const char* reason;
};
static const StatusText kStatusTexts[] = {
    {200, "OK"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {429, "Too Many Requests"},
    {500, "Internal Server Error"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
};
// clang-format on

static const char* ReasonPhrase(int status) {
    for (const StatusText& row : kStatusTexts) {
        if (row.status == status) return row.reason;
    }
    return "Status";
}

static const char* const kFunctions[] = {"ticker", "depth", "trades", "last_price"};

CRestSession::CRestSession(SessionContext& context, CTlsConnection& connection)
    : context(context), connection(connection), faults(context.faults) {
    // A fresh value per connection, so an echo proves this connection's
    // cookie came back, not one remembered from before.
    std::random_device seed;
    char text[32];
    snprintf(text, sizeof text, "%08x%08x", seed(), seed());
    cookie = std::string("vornsim=") + text;
}

bool CRestSession::Send(const std::string& data) {
    return connection.Write(data, faults.Has(kFaultTrickle) ? static_cast<int>(faults.Arg(kFaultTrickle)) : 0);
}

bool CRestSession::ReadRequest(HttpRequest& requestOut, int timeoutMs) {
    char buffer[4096];
    for (;;) {
        const int used = ParseHttpRequest(pending, requestOut);
        if (used > 0) {
            pending.erase(0, used);
            return true;
        }
        if (used < 0) {
            SimLog("#%d rest: malformed or oversized request head", context.id);
            Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return false;
        }
        const int got = connection.Read(buffer, sizeof buffer, timeoutMs);
        if (got <= 0) {
            if (got == CTlsConnection::kTimedOut) SimLog("#%d rest: idle too long, closing", context.id);
            return false;
        }
        pending.append(buffer, got);
    }
}

void CRestSession::CheckCookie(const HttpRequest& request) {
    const std::string* sent = request.Header("Cookie");
    // The first request of a connection has nothing to echo yet.
    if (responses == 0) {
        SimLog("#%d rest: first request, cookie \"%s\"", context.id, sent ? sent->c_str() : "(no header)");
        return;
    }
    if (sent && sent->find(cookie) != std::string::npos) {
        SimLog("#%d rest: cookie echoed (%s)", context.id, sent->c_str());
    } else {
        SimLog("#%d rest: cookie NOT echoed: expected %s, got \"%s\"", context.id, cookie.c_str(),
               sent ? sent->c_str() : "(no header)");
    }
}

void CRestSession::Route(const HttpRequest& request, int& statusOut, std::string& bodyOut) {
    statusOut = 404;
    bodyOut = "{\"success\":0,\"error\":\"not found\"}";
    if (request.method != "GET") {
        statusOut = 405;
        bodyOut = "{\"success\":0,\"error\":\"method not allowed\"}";
        return;
    }
    const std::string& dir = context.options.apiDir;
    if (request.target.compare(0, dir.size(), dir) != 0) return;
    const std::string rest = request.target.substr(dir.size());
    const size_t slash = rest.find('/');
    if (slash == std::string::npos) return;
    const std::string function = rest.substr(0, slash);
    const std::string pair = rest.substr(slash + 1);
    bool known = false;
    for (const char* name : kFunctions)
        known = known || function == name;
    if (!known || !IsValidPair(pair)) return;
    context.control.Refresh();
    std::string document = context.model.RestDocument(function, pair);
    if (document.empty()) return;
    statusOut = 200;
    bodyOut = document;
}

std::string CRestSession::Head(int status, const HttpRequest& request, bool keepOpen, size_t bodySize) {
    const bool odd = faults.Has(kFaultMixedCase);
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    head += odd ? "server: exchange-sim\r\ncontent-TYPE: application/json\r\n"
                : "Server: exchange-sim\r\nContent-Type: application/json\r\n";
    if (responses == 0) head += std::string(odd ? "set-cookie: " : "Set-Cookie: ") + cookie + "; Path=/; HttpOnly\r\n";
    if (faults.Has(kFaultChunked)) {
        head += odd ? "transfer-encoding: CHUNKED\r\n" : "Transfer-Encoding: chunked\r\n";
    } else {
        head += (odd ? "content-length: " : "Content-Length: ") + std::to_string(bodySize) + "\r\n";
    }
    if (!faults.Has(kFaultNoConnection)) {
        if (!keepOpen) {
            head += odd ? "CONNECTION: Close\r\n" : "Connection: close\r\n";
        } else if (request.version == "HTTP/1.0") {
            // 1.0 connections close unless the answer says otherwise.
            head += odd ? "CONNECTION: Keep-Alive\r\n" : "Connection: keep-alive\r\n";
        }
    }
    return head + "\r\n";
}

std::string CRestSession::Chunked(const std::string& body) const {
    const size_t count = faults.Arg(kFaultChunked) > 0 ? static_cast<size_t>(faults.Arg(kFaultChunked)) : 1;
    const size_t size = body.size() / count + 1;
    std::string out;
    for (size_t at = 0; at < body.size(); at += size) {
        const std::string piece = body.substr(at, size);
        char length[32];
        snprintf(length, sizeof length, "%zx\r\n", piece.size());
        out += length + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

CRestSession::Next CRestSession::Answer(const HttpRequest& request) {
    int status = 0;
    std::string body;
    Route(request, status, body);
    if (faults.Has(kFaultBadStatus)) {
        status = faults.Arg(kFaultBadStatus) > 0 ? static_cast<int>(faults.Arg(kFaultBadStatus)) : 500;
        body = "{\"success\":0,\"error\":\"simulated failure\"}";
    }
    if (faults.Has(kFaultOversize)) PadDocument(body, static_cast<size_t>(faults.Arg(kFaultOversize)));
    const bool keepOpen = faults.Has(kFaultNoConnection) || (!faults.Has(kFaultClose) && request.WantsKeepAlive());
    const std::string response =
        Head(status, request, keepOpen, body.size()) + (faults.Has(kFaultChunked) ? Chunked(body) : body);
    SimLog("#%d rest: %d, %zu bytes of body%s", context.id, status, body.size(), keepOpen ? "" : ", closing");
    if (faults.Has(kFaultStallBody) && responses == 0) {
        const long half = static_cast<long>(response.size() / 2);
        const long cut = faults.Arg(kFaultStallBody) < 0 ? half : faults.Arg(kFaultStallBody);
        Send(response.substr(0, static_cast<size_t>(cut)));
        SimLog("#%d rest: stalled after %ld bytes", context.id, cut);
        connection.WaitUntilPeerGone(kStallLimitMs);
        return kEnd;
    }
    if (!Send(response)) return kEnd;
    responses++;
    if (!keepOpen) {
        connection.CloseNotify();
        return kEnd;
    }
    if (faults.Has(kFaultDrop) && responses >= faults.Arg(kFaultDrop)) {
        SimLog("#%d rest: dropped with close notify after %d responses", context.id, responses);
        connection.CloseNotify();
        return kEnd;
    }
    if (faults.Has(kFaultEof) && responses >= faults.Arg(kFaultEof)) {
        SimLog("#%d rest: closed without close notify after %d responses", context.id, responses);
        return kEnd;
    }
    return kKeepOpen;
}

void CRestSession::Run() {
    for (;;) {
        HttpRequest request;
        if (!ReadRequest(request, responses == 0 ? kRequestHeadMs : kKeepAliveIdleMs)) return;
        SimLog("#%d rest: %s %s %s", context.id, request.method.c_str(), request.target.c_str(),
               request.version.c_str());
        if (faults.Has(kFaultReset) && responses >= faults.Arg(kFaultReset)) {
            SimLog("#%d rest: reset instead of answering", context.id);
            connection.Reset();
            return;
        }
        CheckCookie(request);
        if (Answer(request) == kEnd) return;
    }
}
