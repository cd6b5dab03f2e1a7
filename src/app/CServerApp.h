#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "AppMessages.h"
#include "CDdeServer.h"
#include "CHttpsPublicThread.h"
#include "CHttpsRealtimeThread.h"
#include "CIni.h"
#include "CStatusBoard.h"
#include "CTaskTray.h"
#include "CTlsContext.h"

// The one application object: owns the DDE service, the two tables of
// workers, the configuration and the tray window, and is the only place that
// assigns a topic to a worker. Everything here runs on the user-interface
// thread, in answer to the four application messages.
class CServerApp {
public:
    static const int kMaxWorkers = 32;
    // Worker values that arrive this soon after a new connection are dropped.
    static const DWORD kConnectQuietMs = 2000;
    // The window's timer: values whose notice could not be posted are
    // collected this often, and skipped values are logged at most this
    // often.
    static const UINT_PTR kSweepTimer = 1;
    static const UINT kSweepMs = 1000;
    static const DWORD kSkipLogMs = 60000;

    CServerApp();
    ~CServerApp();
    CServerApp(const CServerApp&) = delete;
    CServerApp& operator=(const CServerApp&) = delete;

    // Start-up, message loop and the shutdown wait; the exit code, always 0.
    int Run(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState);

    // The steps of Run. StartUp fails when the window class cannot be
    // registered or another copy holds the service name.
    bool StartUp(HINSTANCE instance);
    int MessageLoop();
    void WaitForWorkers();

    // Each takes over the payload that its message hands to the receiver.
    LRESULT OnItemValues(WPARAM posted);
    LRESULT OnConnected(const std::string* topic);
    LRESULT OnAdviseStart(std::string* topic, std::string* item);
    LRESULT OnDisconnected(const std::string* topic);
    LRESULT OnTimer(UINT_PTR id);

    CDdeServer ddeServer;
    // What every worker's connections trust; made at start-up, before any
    // worker, and kept until they have all ended.
    CTlsContext tls;
    CHttpsRealtimeThread realtimeWorkers[kMaxWorkers];
    int realtimeCount;
    CHttpsPublicThread publicWorkers[kMaxWorkers];
    int publicCount;
    // Every item name ever linked, on any topic, in order of first arrival.
    std::vector<std::string> advisedItems;
    // The quiet time's clock and the shutdown wait's pause between passes:
    // GetTickCount and Sleep, unless a test holds the clock or counts the
    // passes.
    DWORD(WINAPI* tickCount)();
    void(WINAPI* sleep)(DWORD milliseconds);
    DWORD lastConnectTick;
    // Values replaced in the workers' mailboxes before they reached a cell,
    // not yet logged, and when that was last logged.
    unsigned long skippedValues;
    DWORD lastSkipLogTick;
    bool skipLogged;
    CIni ini;
    CStatusBoard status;
    std::string tip;  // the tray tip as last set
    CTaskTray taskTray;
    HWND hwnd;

private:
    enum TopicKind { kNotServed, kStreaming, kPolled };
    static TopicKind KindOf(const std::string& topic);

    int& CountOf(TopicKind kind);
    CHttpsThread* WorkerAt(TopicKind kind, int slot);
    CHttpsThread* FindWorker(TopicKind kind, const std::string& topic);
    CHttpsThread* StartWorker(TopicKind kind, const std::string& topic);
    void Publish(const std::string& topic, const std::string& item, const std::string& value);
    // Publishes the values of linked items, unless a connection is too new.
    void Deliver(const std::vector<CItemValue>& values);
    // The served topics as the status topic sees them.
    std::vector<CStatusBoard::Feed> Feeds();
    // Publishes the status items whose texts changed, and the tray tip.
    void RefreshStatus();
};

extern CServerApp* g_app;
