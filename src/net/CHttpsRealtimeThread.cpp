#include "CHttpsRealtimeThread.h"

#include <wincrypt.h>

#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CConnectionStream.h"
#include "HttpResponse.h"
#include "Publishing.h"
#include "WebSocketReader.h"

#ifndef VORNFEED_STREAM_HOST
#define VORNFEED_STREAM_HOST "localhost"
#endif

namespace {

const char kStreamHost[] = VORNFEED_STREAM_HOST;
const int kSwitchingProtocols = 101;
const int kKeyTextSize = 1024;

// Appends a formatted piece into what is left of a buffer of size bytes.
void Append(char* buffer, size_t size, const char* format, const char* argument) {
    size_t used = strlen(buffer);
    if (used + 1 < size) snprintf(buffer + used, size - used, format, argument);
}

// RFC 6455 4.1: the key is a nonce of 16 random bytes, fresh for each
// connection, in Base64 (24 characters). The encoder ends its text with
// CR LF.
bool MakeKey(char* keyText) {
    BYTE nonce[16];
    if (RAND_bytes(nonce, sizeof(nonce)) != 1) return false;
    DWORD size = kKeyTextSize;
    return CryptBinaryToStringA(nonce, sizeof(nonce), CRYPT_STRING_BASE64, keyText, &size) != FALSE;
}

}  // namespace

int CHttpsRealtimeThread::ConnectedPort() const {
    return serverPort ? serverPort : kPort;
}

bool CHttpsRealtimeThread::MakeRequest(char* buffer) {
    std::string pair = topic.substr(0, topic.find('.'));
    const char* hostName = serverHost[0] ? serverHost : kStreamHost;
    std::string hostLine = std::string(hostName) + ":" + std::to_string(ConnectedPort());
    Append(buffer, kRequestSize, "GET /stream?currency_pair=%s HTTP/1.1\r\n", pair.c_str());
    Append(buffer, kRequestSize, "Host: %s\r\n", hostLine.c_str());
    Append(buffer, kRequestSize, "%s", "Upgrade: websocket\r\n");
    Append(buffer, kRequestSize, "%s", "connection: upgrade\r\n");
    Append(buffer, kRequestSize, "%s", "Sec-WebSocket-Version: 13\r\n");
    char keyText[kKeyTextSize] = {};
    if (!MakeKey(keyText)) return false;
    Append(buffer, kRequestSize, "Sec-WebSocket-Key: %s", keyText);
    Append(buffer, kRequestSize, "%s", "\r\n");
    return true;
}

int CHttpsRealtimeThread::OnReceive(const char* document) {
    NoteDocument();
    return PublishDocument(*this, document);
}

void CHttpsRealtimeThread::ThreadMain() {
    std::unique_ptr<char[]> buffer(new char[kMessageSize]);
    const char* hostName = serverHost[0] ? serverHost : kStreamHost;
    while (running) {
        if (paused) {
            WaitMilliseconds(kPausedStepMs);
            continue;
        }
        // With the network down every attempt fails at once: waiting keeps
        // the worker from spinning a core until it is back.
        if (Connect(hostName, ConnectedPort()) != 0) {
            WaitSeconds(pollingInterval);
            continue;
        }
        if (!paused) Stream(buffer.get());
        Disconnect();
        WaitSeconds(pollingInterval);
    }
}

// The response is read byte by byte so that no frame byte that follows it
// is taken with it. Only a 101 with "upgrade" in its Connection header
// switches the connection to WebSocket; anything else is an HTTP answer.
bool CHttpsRealtimeThread::Handshake(char* buffer) {
    char request[kRequestSize] = {};
    // A request without its key would be refused anyway; not sending one
    // keeps a half-made request off the wire.
    if (!MakeRequest(request)) return false;
    Send(request);
    // Headers are read terminated as they come; clearing the whole buffer
    // would bring all of its pages into memory for nothing.
    buffer[0] = '\0';
    CConnectionStream stream(*this);
    stream.StartClock(timeoutMs);
    if (ReadHttpHeaders(stream, buffer, kMessageSize) <= 0) return false;
    if (ParseStatusCode(buffer) != kSwitchingProtocols) return false;
    char connection[kRequestSize] = {};
    return FindHeaderValue(connection, sizeof(connection), "Connection:", buffer) >= 0 &&
           ContainsNoCase(connection, "upgrade");
}

void CHttpsRealtimeThread::Stream(char* buffer) {
    if (!Handshake(buffer)) return;
    CConnectionStream stream(*this);
    while (running) {
        // A stream quiet for longer than the time-out is taken as dead, and
        // so is one that takes longer than that to deliver a message.
        stream.StartClockAtFirstByte(timeoutMs);
        int length = 0;
        if (CWebSocketReader::ReadMessage(stream, buffer, kMessageSize, &length) != CWebSocketReader::kMessage) return;
        if (paused || !running) return;
        OnReceive(buffer);
        // Messages that came together are published as fast as the
        // user-interface thread takes them, each one's values in the cells
        // in order; one that lags more than the bound gets the latest values
        // only (the mailbox counts the rest as skipped).
        mailbox->WaitTaken(kTakeWaitMs);
    }
}
