#include "FaultModes.h"

#include <cerrno>
#include <cstdlib>

static const int kBoth = kRestSession | kStreamSession;

// clang-format off
const FaultModeInfo kFaultModes[kFaultCount] = {
    {kFaultReset,        "reset",         kBoth,          0,
     "reset the TCP connection: REST instead of answering request N+1, stream after N messages"},
    {kFaultStallAccept,  "stall-accept",  kBoth,          0,
     "accept the TCP connection and never start TLS"},
    {kFaultStallBody,    "stall-body",    kBoth,          -1,
     "send N bytes (default half) of the first response or frame, then go silent; stream 0 = silent stream"},
    {kFaultTrickle,      "trickle",       kBoth,          50,
     "send every response or frame one byte per N ms"},
    {kFaultClose,        "close",         kRestSession,   0,
     "answer with \"Connection: close\" and close after the response"},
    {kFaultNoConnection, "no-connection", kRestSession,   0,
     "leave out the Connection header; the connection stays open"},
    {kFaultDrop,         "drop",          kRestSession,   1,
     "after N responses close with a TLS close notify, announced by no header"},
    {kFaultEof,          "eof",           kRestSession,   1,
     "after N responses close the TCP connection without a close notify"},
    {kFaultChunked,      "chunked",       kRestSession,   3,
     "Transfer-Encoding: chunked in N chunks instead of Content-Length"},
    {kFaultBadStatus,    "bad-status",    kBoth,          0,
     "REST: answer with status N (default 500); stream: status N (default 400) with the upgrade headers"},
    {kFaultMixedCase,    "mixed-case",    kBoth,          0,
     "header names and tokens in odd case: \"set-cookie:\", \"CONNECTION: Close\", \"Connection: Upgrade\""},
    {kFaultOversize,     "oversize",      kBoth,          300000,
     "pad every REST body or stream message to N bytes"},
    {kFaultSmall,        "small",         kStreamSession, 0,
     "compact messages under 126 bytes (7-bit length)"},
    {kFaultLen64,        "len64",         kStreamSession, 70000,
     "pad messages to N bytes and send every length in the 64-bit form (0: no padding)"},
    {kFaultFragment,     "fragment",      kStreamSession, 3,
     "split every message into N frames (continuation frames)"},
    {kFaultMasked,       "masked",        kStreamSession, 0,
     "mask the server's frames, which the protocol forbids"},
    {kFaultPing,         "ping",          kStreamSession, 1,
     "a ping before every Nth message (between its first two frames when fragmented); pongs are counted"},
    {kFaultCloseFrame,   "close-frame",   kStreamSession, 1,
     "a close frame (1000) after N messages, then wait for the client to go"},
    {kFaultNoUpgrade,    "no-upgrade",    kStreamSession, 0,
     "answer the upgrade with \"200 OK\" and no Upgrade or Connection header"},
};
// clang-format on

bool CFaultSet::Empty() const {
    for (bool isOn : on) {
        if (isOn) return false;
    }
    return true;
}

void CFaultSet::Set(FaultMode mode, long value) {
    on[mode] = true;
    arg[mode] = value;
}

std::string CFaultSet::ToString() const {
    std::string text;
    for (const FaultModeInfo& info : kFaultModes) {
        if (!on[info.mode]) continue;
        if (!text.empty()) text += ",";
        text += info.name;
        if (arg[info.mode] != info.defaultArg) text += "=" + std::to_string(arg[info.mode]);
    }
    return text.empty() ? "none" : text;
}

static bool Fail(std::string& errorOut, const std::string& why) {
    errorOut = why;
    return false;
}

static const FaultModeInfo* FindFaultMode(const std::string& name) {
    for (const FaultModeInfo& info : kFaultModes) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

static bool ParseFaultItem(const std::string& item, SessionKind kind, CFaultSet& faults, std::string& errorOut) {
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const FaultModeInfo* info = FindFaultMode(name);
    if (!info) return Fail(errorOut, "unknown fault mode \"" + name + "\"");
    if (!(info->kinds & kind)) return Fail(errorOut, "fault mode \"" + name + "\" does not apply here");
    long value = info->defaultArg;
    if (equals != std::string::npos) {
        const std::string number = item.substr(equals + 1);
        char* end = nullptr;
        errno = 0;
        value = strtol(number.c_str(), &end, 10);
        if (number.empty() || *end || errno || value < 0) return Fail(errorOut, "bad number in \"" + item + "\"");
    }
    faults.Set(info->mode, value);
    return true;
}

bool ParseFaultList(const std::string& text, SessionKind kind, CFaultSet& faultsOut, std::string& errorOut) {
    CFaultSet faults;
    if (text != "none") {
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            if (comma == std::string::npos) comma = text.size();
            if (!ParseFaultItem(text.substr(start, comma - start), kind, faults, errorOut)) return false;
            start = comma + 1;
        }
    }
    faultsOut = faults;
    return true;
}
