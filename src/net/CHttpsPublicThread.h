#pragma once

#include "CHttpsThread.h"
#include "HttpResponse.h"

// Serves one polled topic ("ticker.btc_jpy.h"): keeps an HTTPS connection
// to the exchange's REST host for as long as the server allows, sends the
// topic's GET once per polling interval and publishes every linked item
// from each response. HTTP/1.0 with keep-alive; the server's cookie is sent
// back for as long as the connection lasts.
class CHttpsPublicThread : public CHttpsThread {
public:
    static const int kResponseSize = 65536;  // a response and its NUL
    static const int kPort = 443;
    static const DWORD kPausedStepMs = 1000;

    void ThreadMain() override;
    // "GET {apiDir}{function}/{pair} HTTP/1.0" with Host, Cookie and
    // keep-alive. A cookie too long for the request is left out rather than
    // sending a request cut short. False when even that does not fit.
    bool MakeRequest(char* buffer) override;
    int OnReceive(const char* document) override;

private:
    // Request and response cycles on one connection, until the server
    // closes it, a response fails, or the worker is paused or stopped.
    void Poll(char* response);
    // One request and its response; false when no whole response came.
    bool Exchange(char* response, HttpResponse* result);
};
