#include "CStreamSession.h"

#include <cmath>
#include <random>

#include <sys/time.h>

#include "CDeadline.h"
#include "SimLog.h"
#include "WebSocketFrame.h"

static const char kStreamPath[] = "/stream?currency_pair=";
// What a client may send us between messages before we call it abuse.
static const size_t kMaxInbound = 65536;

// The real clock, frozen or not: what a benchmark measures a write against.
static long long WallMicros() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec;
}

CStreamSession::CStreamSession(SessionContext& context, CTlsConnection& connection)
    : context(context), connection(connection), faults(context.faults) {}

bool CStreamSession::Send(const std::string& data) {
    return connection.Write(data, faults.Has(kFaultTrickle) ? static_cast<int>(faults.Arg(kFaultTrickle)) : 0);
}

bool CStreamSession::ReadUpgrade(HttpRequest& requestOut) {
    const CDeadline deadline(kRequestHeadMs);
    char buffer[4096];
    for (;;) {
        const int used = ParseHttpRequest(inbound, requestOut);
        if (used > 0) {
            inbound.erase(0, used);
            return true;
        }
        if (used < 0) return false;
        const int got = connection.Read(buffer, sizeof buffer, deadline.LeftMs());
        if (got <= 0) return false;
        inbound.append(buffer, got);
    }
}

bool CStreamSession::CheckUpgrade(const HttpRequest& request, std::string& pairOut, std::string& whyOut) const {
    const std::string& target = request.target;
    const size_t prefix = sizeof kStreamPath - 1;
    if (request.method != "GET")
        whyOut = "not a GET";
    else if (target.compare(0, prefix, kStreamPath) != 0)
        whyOut = "not /stream?currency_pair=";
    else if (!IsValidPair(target.substr(prefix)))
        whyOut = "bad currency pair";
    else if (!request.HeaderHasToken("Upgrade", "websocket"))
        whyOut = "no Upgrade: websocket";
    else if (!request.HeaderHasToken("Connection", "upgrade"))
        whyOut = "no upgrade in Connection";
    else if (!request.Header("Sec-WebSocket-Key") || request.Header("Sec-WebSocket-Key")->size() != 24)
        whyOut = "no 16-byte Sec-WebSocket-Key";
    else if (!request.Header("Sec-WebSocket-Version") || *request.Header("Sec-WebSocket-Version") != "13")
        whyOut = "Sec-WebSocket-Version is not 13";
    else {
        pairOut = target.substr(prefix);
        return true;
    }
    return false;
}

bool CStreamSession::Handshake(const HttpRequest& request) {
    std::string why;
    if (!CheckUpgrade(request, pair, why)) {
        SimLog("#%d stream: refused upgrade: %s", context.id, why.c_str());
        Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        connection.CloseNotify();
        return false;
    }
    if (faults.Has(kFaultNoUpgrade)) {
        SimLog("#%d stream: answered without upgrade", context.id);
        Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nno\n");
        connection.WaitUntilPeerGone(kStallLimitMs);
        return false;
    }
    const bool odd = faults.Has(kFaultMixedCase);
    const int status = faults.Has(kFaultBadStatus)
                           ? (faults.Arg(kFaultBadStatus) > 0 ? static_cast<int>(faults.Arg(kFaultBadStatus)) : 400)
                           : 101;
    std::string head = "HTTP/1.1 " + std::to_string(status) + (status == 101 ? " Switching Protocols" : " Refused");
    head += odd ? "\r\nUPGRADE: WebSocket\r\nConnection: Upgrade\r\nsec-websocket-accept: "
                : "\r\nUpgrade: websocket\r\nConnection: upgrade\r\nSec-WebSocket-Accept: ";
    head += WebSocketAccept(*request.Header("Sec-WebSocket-Key")) + "\r\n\r\n";
    SimLog("#%d stream: upgraded %s, status %d", context.id, pair.c_str(), status);
    return Send(head);
}

std::string CStreamSession::Message(unsigned long seq) {
    context.control.Refresh();
    std::string message = context.model.StreamMessage(pair, seq, faults.Has(kFaultSmall));
    if (faults.Has(kFaultOversize)) PadDocument(message, static_cast<size_t>(faults.Arg(kFaultOversize)));
    if (faults.Has(kFaultLen64) && faults.Arg(kFaultLen64) > 0)
        PadDocument(message, static_cast<size_t>(faults.Arg(kFaultLen64)));
    return message;
}

std::string CStreamSession::Frame(int opcode, bool fin, const std::string& payload) {
    uint8_t mask[4];
    if (faults.Has(kFaultMasked)) {
        std::random_device seed;
        for (uint8_t& byte : mask)
            byte = static_cast<uint8_t>(seed());
    }
    return EncodeWsFrame(opcode, fin, payload, faults.Has(kFaultMasked) ? mask : nullptr, faults.Has(kFaultLen64));
}

std::string CStreamSession::Frames(const std::string& message, bool withPing) {
    const std::string ping = withPing ? Frame(kWsPing, true, "sim") : std::string();
    const long parts = faults.Has(kFaultFragment) ? faults.Arg(kFaultFragment) : 1;
    if (parts <= 1 || message.size() < 2) return ping + Frame(kWsText, true, message);
    const size_t count = std::min(static_cast<size_t>(parts), message.size());
    const size_t size = (message.size() + count - 1) / count;
    std::string out;
    for (size_t at = 0, index = 0; at < message.size(); at += size, index++) {
        const bool last = at + size >= message.size();
        out += Frame(index == 0 ? kWsText : kWsContinuation, last, message.substr(at, size));
        // Control frames may come between the fragments of a message.
        if (index == 0) out += ping;
    }
    return out;
}

bool CStreamSession::TakeClientFrames() {
    for (;;) {
        WsFrameHeader header;
        const int size = ParseWsFrameHeader(reinterpret_cast<const uint8_t*>(inbound.data()), inbound.size(), header);
        if (size < 0 || header.length > kMaxInbound) return false;
        if (size == 0 || inbound.size() < header.headerSize + header.length) return inbound.size() <= kMaxInbound;
        std::string payload = inbound.substr(header.headerSize, header.length);
        inbound.erase(0, header.headerSize + header.length);
        if (header.masked) ApplyWsMask(payload, header.mask);
        if (header.opcode == kWsPong) {
            pongs++;
            SimLog("#%d stream: pong %lu", context.id, pongs);
        } else if (header.opcode == kWsClose) {
            SimLog("#%d stream: close frame from the client", context.id);
            Send(EncodeWsFrame(kWsClose, true, payload.substr(0, 2), nullptr, false));
            return false;
        } else {
            SimLog("#%d stream: client frame, opcode %d, %zu bytes", context.id, header.opcode, payload.size());
        }
    }
}

bool CStreamSession::ListenFor(int ms) {
    const CDeadline deadline(ms);
    char buffer[4096];
    while (!deadline.Passed()) {
        const int got = connection.Read(buffer, sizeof buffer, deadline.LeftMs());
        if (got == CTlsConnection::kTimedOut) return true;
        if (got <= 0) {
            SimLog("#%d stream: the client went away", context.id);
            return false;
        }
        inbound.append(buffer, got);
        if (!TakeClientFrames()) return false;
    }
    return true;
}

void CStreamSession::Run() {
    HttpRequest request;
    if (!ReadUpgrade(request)) {
        SimLog("#%d stream: no upgrade request", context.id);
        return;
    }
    SimLog("#%d stream: %s %s %s", context.id, request.method.c_str(), request.target.c_str(), request.version.c_str());
    if (!Handshake(request)) return;
    if (faults.Has(kFaultStallBody) && faults.Arg(kFaultStallBody) == 0) {
        SimLog("#%d stream: silent", context.id);
        connection.WaitUntilPeerGone(kStallLimitMs);
        return;
    }
    const int periodMs = std::max(1, static_cast<int>(std::lround(1000.0 / context.options.rate)));
    // Steady pacing keeps for the whole connection the phase its handshake
    // set, so streams opened together send together for ever. Random gaps
    // (exponential, as independent trades come) let every connection's
    // messages fall anywhere, whenever it was opened.
    std::mt19937 gaps(static_cast<unsigned>(context.options.seed * 7919 + static_cast<unsigned long>(context.id)));
    std::exponential_distribution<double> gap(1.0 / periodMs);
    // Bursts asked for before this connection are not its own.
    burstsSeen = context.control.BurstGeneration();
    for (unsigned long seq = 1;; seq++) {
        if (faults.Has(kFaultReset) && seq > static_cast<unsigned long>(faults.Arg(kFaultReset))) {
            SimLog("#%d stream: reset after %lu messages", context.id, seq - 1);
            connection.Reset();
            return;
        }
        const long pingEvery = faults.Arg(kFaultPing) > 0 ? faults.Arg(kFaultPing) : 1;
        const bool ping = faults.Has(kFaultPing) && seq % static_cast<unsigned long>(pingEvery) == 0;
        std::string frames = Frames(Message(seq), ping);
        const unsigned long burst = context.control.TakeBurst(burstsSeen);
        if (burst > 1) {
            for (unsigned long extra = 1; extra < burst; extra++)
                frames += Frames(Message(++seq), false);
            SimLog("#%d stream: burst of %lu messages in one write, the last seq %lu, written at %lld us", context.id,
                   burst, seq, WallMicros());
        }
        if (faults.Has(kFaultStallBody) && seq == 1) {
            const long cut = faults.Arg(kFaultStallBody) < 0
                                 ? static_cast<long>(frames.size() / 2)
                                 : std::min<long>(faults.Arg(kFaultStallBody), frames.size());
            Send(frames.substr(0, static_cast<size_t>(cut)));
            SimLog("#%d stream: stalled after %ld bytes", context.id, cut);
            connection.WaitUntilPeerGone(kStallLimitMs);
            return;
        }
        if (!Send(frames)) return;
        if (faults.Has(kFaultCloseFrame) && seq >= static_cast<unsigned long>(faults.Arg(kFaultCloseFrame))) {
            SimLog("#%d stream: close frame after %lu messages", context.id, seq);
            Send(Frame(kWsClose, true, std::string("\x03\xe8", 2)));
            connection.WaitUntilPeerGone(10000);
            return;
        }
        const int waitMs = context.options.randomPacing ? static_cast<int>(std::lround(gap(gaps))) : periodMs;
        if (!ListenFor(waitMs)) return;
    }
}
