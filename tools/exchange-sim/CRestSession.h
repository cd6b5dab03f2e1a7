#pragma once

#include <string>

#include "CTlsConnection.h"
#include "HttpRequest.h"
#include "SessionContext.h"

// One REST connection: reads requests, answers each with a market document
// and plays the connection's fault modes. HTTP/1.0 and 1.1, keep-alive.
class CRestSession {
public:
    CRestSession(SessionContext& context, CTlsConnection& connection);
    void Run();

private:
    // What Answer decided about the connection after a response.
    enum Next { kKeepOpen, kEnd };

    bool ReadRequest(HttpRequest& requestOut, int timeoutMs);
    void CheckCookie(const HttpRequest& request);
    Next Answer(const HttpRequest& request);
    void Route(const HttpRequest& request, int& statusOut, std::string& bodyOut);
    std::string Head(int status, const HttpRequest& request, bool keepOpen, size_t bodySize);
    std::string Chunked(const std::string& body) const;
    bool Send(const std::string& data);

    SessionContext& context;
    CTlsConnection& connection;
    const CFaultSet& faults;
    std::string pending;
    std::string cookie;
    int responses = 0;
};
