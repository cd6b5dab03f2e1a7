#pragma once

#include <windows.h>
#include <ddeml.h>

#include <string>
#include <vector>

#include "CWatchView.h"
#include "WatchOptions.h"

// The DDE client side of ddewatch: one conversation per topic, one advise
// loop per link, and every delivery passed to the view.
class CDdeWatcher {
public:
    CDdeWatcher(CWatchView& view, const std::vector<WatchLink>& links);
    ~CDdeWatcher();
    CDdeWatcher(const CDdeWatcher&) = delete;
    CDdeWatcher& operator=(const CDdeWatcher&) = delete;

    // DMLERR_NO_ERROR once DDEML runs.
    UINT Initialize();
    // Opens a conversation on every topic, trying again every 100 ms until
    // `waitMs` has passed. False when a topic found no server.
    bool Connect(const std::string& service, DWORD waitMs);
    // Starts a loop on every link, asking again a few times, with pauses,
    // when the server refused or was busy; the number of links accepted,
    // status links not counted.
    size_t AdviseAll(UINT format);
    // Asks for every link once; the number answered with data.
    size_t RequestAll(UINT format);
    // Takes and dispatches waiting messages: DDEML delivers data through them.
    void Pump();
    // Treats every conversation for which `gone` holds as ended by the server.
    void CheckConversations(bool (*gone)(HCONV conv));

    DWORD Elapsed() const { return GetTickCount() - startTick; }
    long Updates() const { return updates; }
    bool ServerEnded() const { return serverEnded; }

private:
    struct Conversation {
        std::string topic;
        HSZ topicHandle;
        HCONV conv;
    };
    struct Link {
        size_t conversation;
        HSZ itemHandle;
    };

    static HDDEDATA CALLBACK
    Callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
    HDDEDATA OnAdviseData(HCONV conv, HSZ item, HDDEDATA data);
    void OnDisconnect(HCONV conv);
    HSZ MakeHandle(const std::string& text);
    HCONV ConnectOnce(HSZ service, HSZ topic, DWORD waitMs);
    // DMLERR_NO_ERROR, or the error of the last try.
    UINT AdviseStart(const Link& link, UINT format);
    void PumpFor(DWORD ms);

    CWatchView& view;
    std::vector<WatchLink> names;
    DWORD instanceId;
    DWORD startTick;
    std::vector<Conversation> conversations;
    std::vector<Link> links;
    std::vector<HSZ> handles;
    long updates;
    bool serverEnded;
};

std::string ReadData(HDDEDATA data);
