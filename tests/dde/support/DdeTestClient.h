#pragma once

#include <windows.h>
#include <ddeml.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "MessagePump.h"

// A DDE client for tests, on the ordinary DDEML client calls, so that the same
// test drives the in-process stand-in and Windows' own DDEML. It keeps every
// string handle it made until it goes: Wine loses data of two links on the
// same item name when a client lets its handles go.
class DdeTestClient {
public:
    DdeTestClient();
    ~DdeTestClient();
    DdeTestClient(const DdeTestClient&) = delete;
    DdeTestClient& operator=(const DdeTestClient&) = delete;

    // nullptr when no server accepted the conversation.
    HCONV Connect(const char* service, const char* topic);
    bool Disconnect(HCONV conv);
    bool AdviseStart(HCONV conv, const char* item, UINT format = CF_TEXT);
    bool AdviseStop(HCONV conv, const char* item, UINT format = CF_TEXT);
    // One-off request; false when the server answered without data.
    bool Request(HCONV conv, const char* item, std::string* dataOut);

    // Data delivered to the loop on the item since the last call, each
    // delivery as received (CF_TEXT with its NUL). Waits, taking messages,
    // until `count` deliveries are there or `timeoutMs` has passed.
    std::vector<std::string> Take(HCONV conv, const char* item, size_t count = 0, DWORD timeoutMs = 0);
    // True once the server side ended the conversation.
    bool IsDisconnected(HCONV conv) const;
    UINT LastError() const { return DdeGetLastError(instanceId); }
    DWORD Instance() const { return instanceId; }

private:
    static HDDEDATA CALLBACK
    Callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
    HSZ Handle(const char* text);
    size_t Waiting(HCONV conv, HSZ item) const;

    DWORD instanceId;
    std::map<std::string, HSZ> handles;
    std::vector<HCONV> conversations;
    std::vector<HCONV> endedByServer;
    std::map<std::pair<HCONV, HSZ>, std::vector<std::string>> deliveries;
};
