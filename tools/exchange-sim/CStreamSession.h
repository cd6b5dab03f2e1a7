#pragma once

#include <string>

#include "CTlsConnection.h"
#include "HttpRequest.h"
#include "SessionContext.h"

// One stream connection: the WebSocket upgrade, then one message per period
// for the requested pair until the peer goes or the server stops, playing
// the connection's fault modes.
class CStreamSession {
public:
    CStreamSession(SessionContext& context, CTlsConnection& connection);
    void Run();

private:
    bool ReadUpgrade(HttpRequest& requestOut);
    bool CheckUpgrade(const HttpRequest& request, std::string& pairOut, std::string& whyOut) const;
    bool Handshake(const HttpRequest& request);
    std::string Message(unsigned long seq);
    std::string Frames(const std::string& message, bool withPing);
    std::string Frame(int opcode, bool fin, const std::string& payload);
    bool Send(const std::string& data);
    // Waits up to ms, reading what the client sends; false when it closed,
    // sent a close frame or broke the protocol, or on a stop.
    bool ListenFor(int ms);
    bool TakeClientFrames();

    SessionContext& context;
    CTlsConnection& connection;
    const CFaultSet& faults;
    std::string pair;
    std::string inbound;
    unsigned long pongs = 0;
    unsigned long burstsSeen = 0;
};
