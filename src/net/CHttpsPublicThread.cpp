#include "CHttpsPublicThread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CConnectionStream.h"
#include "Publishing.h"

#ifndef VORNFEED_REST_HOST
#define VORNFEED_REST_HOST "localhost"
#endif

namespace {

const char kRestHost[] = VORNFEED_REST_HOST;
const char kRequestFormat[] = "GET %s%s/%s HTTP/1.0\r\nHost: %s\r\nCookie: %s\r\nConnection: keep-alive\r\n\r\n";

}  // namespace

// topic := function "." pair ["." anything]; only function and pair go
// into the path.
bool CHttpsPublicThread::MakeRequest(char* buffer) {
    size_t firstDot = topic.find('.');
    std::string function = topic.substr(0, firstDot);
    std::string pair;
    if (firstDot != std::string::npos) {
        size_t secondDot = topic.find('.', firstDot + 1);
        pair =
            topic.substr(firstDot + 1, secondDot == std::string::npos ? std::string::npos : secondDot - firstDot - 1);
    }
    int length = snprintf(buffer, kRequestSize, kRequestFormat, apiDir, function.c_str(), pair.c_str(), host, cookie);
    if (length >= 0 && length < kRequestSize) return true;
    length = snprintf(buffer, kRequestSize, kRequestFormat, apiDir, function.c_str(), pair.c_str(), host, "");
    return length >= 0 && length < kRequestSize;
}

// An error response is published like any other (its items are missing, so
// the cells show "-"), but it is no sign of a live feed: the status topic
// shows the status line as the topic's error, and the topic goes stale.
int CHttpsPublicThread::OnReceive(const char* document) {
    int status = ParseStatusCode(document);
    if (status >= 200 && status < 300) {
        NoteDocument();
    } else {
        const char* lineEnd = strpbrk(document, "\r\n");
        size_t length = lineEnd ? (size_t)(lineEnd - document) : strlen(document);
        NoteError(std::string(host) + ":" + std::to_string(serverPort ? serverPort : kPort) + " " +
                  std::string(document, std::min(length, (size_t)kHostSize)));
    }
    return PublishDocument(*this, document);
}

void CHttpsPublicThread::ThreadMain() {
    std::unique_ptr<char[]> response(new char[kResponseSize]());
    const char* hostName = serverHost[0] ? serverHost : kRestHost;
    int port = serverPort ? serverPort : kPort;
    while (running) {
        if (paused) {
            WaitMilliseconds(kPausedStepMs);
            continue;
        }
        // With the network down every attempt fails at once: waiting keeps
        // the worker from spinning a core until it is back.
        if (Connect(hostName, port) != 0) {
            WaitSeconds(pollingInterval);
            continue;
        }
        Poll(response.get());
        Disconnect();
        // The cookie belongs to one connection.
        cookie[0] = '\0';
        WaitSeconds(pollingInterval);
    }
}

void CHttpsPublicThread::Poll(char* response) {
    while (running) {
        HttpResponse result;
        // A cycle without a whole response ends the connection: publishing
        // the previous response again would show old prices as new.
        if (!Exchange(response, &result)) return;
        // Only the first Set-Cookie line counts; without one the cookie stays.
        FindHeaderValue(cookie, kCookieSize, "Set-Cookie:", response);
        OnReceive(response);
        WaitSeconds(pollingInterval);
        if (!result.reusable || paused) return;
    }
}

bool CHttpsPublicThread::Exchange(char* response, HttpResponse* result) {
    char request[kRequestSize] = {};
    MakeRequest(request);
    Send(request);
    // The time-out bounds the whole response; a complete one ends the wait
    // at once, so a cycle lasts the response time plus the interval.
    CConnectionStream stream(*this);
    stream.StartClock(timeoutMs);
    if (!ReadHttpResponse(stream, response, kResponseSize, result)) return false;
    return result->complete;
}
