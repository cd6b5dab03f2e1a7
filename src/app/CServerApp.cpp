#include <windows.h>

#include "CServerApp.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "CInstanceMutex.h"
#include "CLog.h"
#include "WindowProc.h"
#include "resource.h"

CServerApp* g_app = nullptr;

namespace {

// The shutdown wait looks at the workers again this often.
const DWORD kWaitPassMs = 20;

// Every worker is asked before any is waited for: asked one after another,
// each could spend its whole read time-out before the next one heard of the
// exit, while the icon is gone and the single-instance mutex is still held.
template <typename Worker>
void StopAll(Worker* table, int count) {
    for (int slot = 0; slot < count; ++slot)
        table[slot].Stop();
}

// Moves endedOut past the slots that have ended, in slot order, up to the
// first that has not. True when the whole table has.
template <typename Worker>
bool EndedInSlotOrder(Worker* table, int count, int* endedOut) {
    while (*endedOut < count && !table[*endedOut].alive)
        ++*endedOut;
    return *endedOut == count;
}

}  // namespace

CServerApp::CServerApp()
    : realtimeCount(0),
      publicCount(0),
      tickCount(GetTickCount),
      sleep(Sleep),
      lastConnectTick(GetTickCount()),
      skippedValues(0),
      lastSkipLogTick(0),
      skipLogged(false),
      hwnd(nullptr) {
    g_app = this;
}

CServerApp::~CServerApp() {
    // The first step of the teardown; the members then go in reverse order,
    // the DDE service last.
    taskTray.DestroyPopupMenu();
    g_app = nullptr;
}

int CServerApp::Run(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (!StartUp(instance)) return 0;
    int exitCode = MessageLoop();
    CLog::Write("スレッド終了待ち\r\n");
    WaitForWorkers();
    CLog::Write("終了\r\n");
    return exitCode;
}

bool CServerApp::StartUp(HINSTANCE instance) {
    CLog::Write("起動\r\n");
    ini.Load();
    status.SetLimits(ini.polling_interval, ini.tmout_ms);
    tip = ini.acceptname;
    if (!taskTray.RegisterWndClass(instance, WindowProc, ini.acceptname)) return false;
    hwnd = taskTray.CreateHiddenWindow();
    SetTimer(hwnd, kSweepTimer, kSweepMs, nullptr);
    taskTray.NotifyIcon(true, IDI_VORNFEED, ini.acceptname);
    ddeServer.Initialize(hwnd, ini.acceptname);
    if (g_instanceMutex.Create(ini.acceptname)) {
        tls.Create(ini.ca_file);
        return true;
    }
    // Another copy serves this name; it keeps its icon, this one goes.
    taskTray.NotifyIcon(false, IDI_VORNFEED, ini.acceptname);
    return false;
}

int CServerApp::MessageLoop() {
    MSG msg = {};
    // GetMessageA gives -1 on an error, which must end the loop too.
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return msg.message == WM_QUIT ? (int)msg.wParam : 0;
}

void CServerApp::WaitForWorkers() {
    StopAll(realtimeWorkers, realtimeCount);
    StopAll(publicWorkers, publicCount);
    int realtimeEnded = 0;
    int publicEnded = 0;
    for (;;) {
        // Both tables advance in every pass, however far the other one got.
        bool realtimeDone = EndedInSlotOrder(realtimeWorkers, realtimeCount, &realtimeEnded);
        bool publicDone = EndedInSlotOrder(publicWorkers, publicCount, &publicEnded);
        if (realtimeDone && publicDone) return;
        sleep(kWaitPassMs);
    }
}

LRESULT CServerApp::OnItemValues(WPARAM posted) {
    Deliver(CValueMailbox::TakePosted(posted));
    return 0;
}

void CServerApp::Deliver(const std::vector<CItemValue>& values) {
    // Unsigned 32-bit arithmetic, so the test holds across the counter's wrap.
    if ((DWORD)(tickCount() - lastConnectTick) < kConnectQuietMs) return;
    for (const CItemValue& value : values) {
        if (std::find(advisedItems.begin(), advisedItems.end(), value.item) == advisedItems.end()) continue;
        // The worker terminates the value; one that is not is cut rather
        // than read past its end.
        Publish(value.topic, value.item, std::string(value.value, strnlen(value.value, CItemValue::kValueSize)));
    }
}

// A notice that could not be posted (the queue was full) would leave its
// values waiting until the worker's next document, which on a quiet feed
// may never come.
LRESULT CServerApp::OnTimer(UINT_PTR id) {
    if (id != kSweepTimer) return 0;
    for (TopicKind kind : {kStreaming, kPolled}) {
        for (int slot = 0; slot < CountOf(kind); ++slot) {
            CValueMailbox& mailbox = *WorkerAt(kind, slot)->mailbox;
            Deliver(mailbox.TakeStalled());
            skippedValues += mailbox.TakeSkippedCount();
        }
    }
    RefreshStatus();
    DWORD now = tickCount();
    if (skippedValues > 0 && (!skipLogged || (DWORD)(now - lastSkipLogTick) >= kSkipLogMs)) {
        CLog::Write("更新が追いつかず中間の値 %lu 件を省略\r\n", skippedValues);
        skippedValues = 0;
        lastSkipLogTick = now;
        skipLogged = true;
    }
    return 0;
}

std::vector<CStatusBoard::Feed> CServerApp::Feeds() {
    std::vector<CStatusBoard::Feed> feeds;
    for (TopicKind kind : {kStreaming, kPolled}) {
        for (int slot = 0; slot < CountOf(kind); ++slot) {
            CHttpsThread* worker = WorkerAt(kind, slot);
            feeds.push_back({worker->GetTopic(), kind == kStreaming, worker->paused, worker->GetHealth()});
        }
    }
    return feeds;
}

// Ages and states change with time alone, so they are looked at once a
// second; a cell is sent a value only when its text changed.
void CServerApp::RefreshStatus() {
    std::vector<CStatusBoard::Feed> feeds = Feeds();
    DWORD now = GetTickCount();
    for (const auto& change : status.Changes(feeds, now))
        Publish(CDdeServer::kStatusTopic, change.first, change.second);
    std::string newTip = status.Tip(ini.acceptname, feeds, now);
    if (newTip != tip && taskTray.SetTip(newTip.c_str())) tip = newTip;
}

LRESULT CServerApp::OnConnected(const std::string*) {
    lastConnectTick = tickCount();
    return 1;
}

LRESULT CServerApp::OnAdviseStart(std::string* topicName, std::string* itemName) {
    std::unique_ptr<std::string> topic(topicName);
    std::unique_ptr<std::string> item(itemName);
    if (!topic || !item) return 0;
    if (*topic == CDdeServer::kStatusTopic) {
        std::string text = status.TextOf(*item, Feeds(), GetTickCount());
        status.Link(*item, text);
        Publish(*topic, *item, text);
        return 0;
    }
    TopicKind kind = KindOf(*topic);
    if (kind == kNotServed) return 0;

    CHttpsThread* worker = FindWorker(kind, *topic);
    // A topic that finds its table full is served nothing, not even the
    // placeholder: no worker would ever replace it.
    if (!worker && CountOf(kind) >= kMaxWorkers) {
        CLog::Write("%sスレッド生成不可（スレッド数上限）\r\n", topic->c_str());
        return 0;
    }
    if (std::find(advisedItems.begin(), advisedItems.end(), *item) == advisedItems.end()) advisedItems.push_back(*item);
    Publish(*topic, *item, "-");
    if (worker)
        worker->paused = false;
    else
        worker = StartWorker(kind, *topic);
    worker->AddItem(*item);
    return 0;
}

LRESULT CServerApp::OnDisconnected(const std::string* topic) {
    if (!topic) return 1;
    TopicKind kind = KindOf(*topic);
    if (kind == kNotServed) return 1;
    if (CThread* worker = FindWorker(kind, *topic)) worker->paused = true;
    return 1;
}

// ".r" wins over ".h" wherever either stands: x.h.r is a streaming topic.
CServerApp::TopicKind CServerApp::KindOf(const std::string& topic) {
    if (topic.find(".r") != std::string::npos || topic.find(".R") != std::string::npos) return kStreaming;
    if (topic.find(".h") != std::string::npos || topic.find(".H") != std::string::npos) return kPolled;
    return kNotServed;
}

int& CServerApp::CountOf(TopicKind kind) {
    return kind == kStreaming ? realtimeCount : publicCount;
}

CHttpsThread* CServerApp::WorkerAt(TopicKind kind, int slot) {
    if (kind == kStreaming) return &realtimeWorkers[slot];
    return &publicWorkers[slot];
}

CHttpsThread* CServerApp::FindWorker(TopicKind kind, const std::string& topic) {
    int count = CountOf(kind);
    for (int slot = 0; slot < count; ++slot) {
        CHttpsThread* worker = WorkerAt(kind, slot);
        if (worker->GetTopic() == topic) return worker;
    }
    return nullptr;
}

CHttpsThread* CServerApp::StartWorker(TopicKind kind, const std::string& topic) {
    CLog::Write("%sスレッド生成\r\n", topic.c_str());
    int& count = CountOf(kind);
    CHttpsThread* worker = WorkerAt(kind, count);
    ++count;
    // The host comes from the configuration; the port stays as the worker
    // has it, its kind's own unless someone pointed it elsewhere.
    worker->SetServer(kind == kStreaming ? ini.stream_host : ini.rest_host, worker->serverPort);
    worker->SetTrust(&tls);
    worker->Start(hwnd, ini.dir, &ini.timeadjust_min, topic);
    return worker;
}

void CServerApp::Publish(const std::string& topic, const std::string& item, const std::string& value) {
    ddeServer.SetItemValue(topic, item, value);
}
