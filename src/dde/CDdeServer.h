#pragma once

#include <windows.h>
#include <ddeml.h>

#include <memory>
#include <string>

#include "CDdeTopic.h"

// The DDE service: answers every transaction on the user-interface thread,
// keeps one CDdeTopic per connected topic, and tells the hidden window about
// new topics (WM_APP_CONNECTED, sent), accepted advise links
// (WM_APP_ADVISE_START, posted) and the end of a topic's last conversation
// with an advise loop (WM_APP_DISCONNECTED, sent). Only hot links in CF_TEXT
// are served. One object per process.
class CDdeServer {
public:
    static const int kMaxTopics = 32;
    // The server's own topic: it has a slot of its own beside the 32, and
    // connecting to it is no new topic for the core (no WM_APP_CONNECTED).
    static constexpr const char* kStatusTopic = "status";
    static const int kNameSize = 64;

    CDdeServer();
    ~CDdeServer();
    CDdeServer(const CDdeServer&) = delete;
    CDdeServer& operator=(const CDdeServer&) = delete;

    // Starts the DDEML instance and registers the service name, cut to 63
    // characters. 1 on success; 0 after logging the DDEML error.
    int Initialize(HWND window, const char* serviceName);

    // Stores the value of a linked item and pushes it to every advise loop on
    // it. The topic must be given as the lowered name handed out with
    // WM_APP_ADVISE_START; the item matches in any letter case. 0 when stored,
    // -1 when the topic or the item is not in the table.
    int SetItemValue(const std::string& topic, const std::string& item, std::string value);

    HDDEDATA OnDdeCallback(UINT type,
                           UINT format,
                           HCONV conv,
                           HSZ hsz1,
                           HSZ hsz2,
                           HDDEDATA data,
                           ULONG_PTR data1,
                           ULONG_PTR data2);

private:
    HDDEDATA OnDdeConnect(HSZ topic, HSZ service);
    HDDEDATA OnDdeAdvStart(UINT format, HCONV conv, HSZ topic, HSZ item);
    HDDEDATA OnDdeAdvReq(HSZ topic, HSZ item);
    HDDEDATA OnDdeAdvStop(UINT format, HCONV conv, HSZ topic, HSZ item);
    HDDEDATA OnDdeDisconnect(HCONV conv);

    int FindTopicByHandle(HSZ topic) const;
    int FindTopicByConversation(HCONV conv) const;
    int FindTopicByName(const std::string& topic) const;
    int FindFreeSlot() const;
    bool IsStatusTopic(HSZ topic) const;
    int LinkItem(CDdeTopic& entry, HSZ item);

    static const int kStatusSlot = kMaxTopics;
    std::unique_ptr<CDdeTopic> topics[kMaxTopics + 1];
    HWND window;
    DWORD instanceId;
    HSZ serviceHandle;
    char serviceName[kNameSize];
};

// The DDEML callback; hands every transaction to the one CDdeServer.
HDDEDATA CALLBACK
DdeCallback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);

extern CDdeServer* g_ddeServer;
