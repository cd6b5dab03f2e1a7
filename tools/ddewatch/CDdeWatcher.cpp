#include <windows.h>
#include <ddeml.h>

#include "CDdeWatcher.h"

#include <algorithm>

namespace {

// DDEML's callback carries no context; there is one watcher per process.
CDdeWatcher* g_watcher = nullptr;

const DWORD kRetryMs = 100;
const DWORD kTransactionTimeoutMs = 5000;

// The pauses before asking again for an advise loop the server refused or
// could not answer in time. Both pass by themselves: Wine's DDEML refuses
// (NACKs, 0x4009) an advise start that crosses the server's first data on the
// same conversation, such as the placeholder a server publishes as a loop
// starts; and a server busy with several clients starting at once may not
// answer in time.
const DWORD kAdviseRetryMs[] = {100, 200, 400, 800};

bool MayPass(UINT error) {
    return error == DMLERR_NOTPROCESSED || error == DMLERR_BUSY || error == DMLERR_ADVACKTIMEOUT;
}

}  // namespace

std::string ReadData(HDDEDATA data) {
    if (!data) return std::string();
    std::string bytes(DdeGetData(data, nullptr, 0, 0), '\0');
    if (!bytes.empty()) DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), (DWORD)bytes.size(), 0);
    return bytes;
}

CDdeWatcher::CDdeWatcher(CWatchView& view, const std::vector<WatchLink>& links)
    : view(view), names(links), instanceId(0), startTick(GetTickCount()), updates(0), serverEnded(false) {
    g_watcher = this;
}

CDdeWatcher::~CDdeWatcher() {
    for (const Conversation& conversation : conversations) {
        if (conversation.conv) DdeDisconnect(conversation.conv);
    }
    // Each handle was made once and kept once.
    for (HSZ handle : handles) {
        DdeFreeStringHandle(instanceId, handle);
        DdeFreeStringHandle(instanceId, handle);
    }
    if (instanceId) DdeUninitialize(instanceId);
    if (g_watcher == this) g_watcher = nullptr;
}

UINT CDdeWatcher::Initialize() {
    return DdeInitializeA(&instanceId, Callback, APPCMD_CLIENTONLY, 0);
}

// Wine's DDEML loses data of two links on one item name unless the client
// keeps the handle beyond making it; so every handle is kept until the end.
HSZ CDdeWatcher::MakeHandle(const std::string& text) {
    HSZ handle = DdeCreateStringHandleA(instanceId, text.c_str(), CP_WINANSI);
    if (!handle) return nullptr;
    DdeKeepStringHandle(instanceId, handle);
    handles.push_back(handle);
    return handle;
}

HCONV CDdeWatcher::ConnectOnce(HSZ service, HSZ topic, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HCONV conv = DdeConnect(instanceId, service, topic, nullptr);
        if (conv || GetTickCount() - start >= waitMs) return conv;
        Pump();
        Sleep(kRetryMs);
    }
}

bool CDdeWatcher::Connect(const std::string& service, DWORD waitMs) {
    HSZ serviceHandle = MakeHandle(service);
    DWORD start = GetTickCount();
    for (const WatchLink& name : names) {
        // Topics differing only in letter case are one topic and share one
        // conversation (Wine's DDEML refuses a second one).
        HSZ topicHandle = MakeHandle(name.topic);
        size_t index = 0;
        while (index < conversations.size() && conversations[index].topicHandle != topicHandle)
            ++index;
        if (index == conversations.size()) {
            DWORD spent = GetTickCount() - start;
            HCONV conv = ConnectOnce(serviceHandle, topicHandle, spent < waitMs ? waitMs - spent : 0);
            if (!conv) {
                view.OnNoConversation(service, name.topic, DdeGetLastError(instanceId));
                return false;
            }
            conversations.push_back({name.topic, topicHandle, conv});
        }
        links.push_back({index, MakeHandle(name.item)});
    }
    return true;
}

size_t CDdeWatcher::AdviseAll(UINT format) {
    size_t accepted = 0;
    for (size_t i = 0; i < links.size(); ++i) {
        UINT error = AdviseStart(links[i], format);
        view.OnLinked(i, error == DMLERR_NO_ERROR, error);
        // The table's own status links are extras, not what was asked for.
        accepted += error == DMLERR_NO_ERROR && !names[i].status;
    }
    return accepted;
}

UINT CDdeWatcher::AdviseStart(const Link& link, UINT format) {
    HCONV conv = conversations[link.conversation].conv;
    for (size_t attempt = 0;; ++attempt) {
        DWORD result = 0;
        if (DdeClientTransaction(nullptr, 0, conv, link.itemHandle, format, XTYP_ADVSTART, kTransactionTimeoutMs,
                                 &result))
            return DMLERR_NO_ERROR;
        UINT error = DdeGetLastError(instanceId);
        if (!MayPass(error) || attempt == sizeof(kAdviseRetryMs) / sizeof(kAdviseRetryMs[0])) return error;
        PumpFor(kAdviseRetryMs[attempt]);
    }
}

size_t CDdeWatcher::RequestAll(UINT format) {
    size_t answered = 0;
    for (size_t i = 0; i < links.size(); ++i) {
        DWORD result = 0;
        HCONV conv = conversations[links[i].conversation].conv;
        HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, links[i].itemHandle, format, XTYP_REQUEST,
                                             kTransactionTimeoutMs, &result);
        if (!data) {
            view.OnNoData(i, DdeGetLastError(instanceId));
            continue;
        }
        view.OnUpdate(i, Elapsed(), ReadData(data));
        DdeFreeDataHandle(data);
        ++answered;
    }
    return answered;
}

void CDdeWatcher::Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Data of the links made so far keeps coming in while waiting, and the
// view shows how far linking got.
void CDdeWatcher::PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        Pump();
        view.OnIdle(Elapsed());
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) return;
        Sleep(std::min<DWORD>(ms - spent, 20));
    }
}

void CDdeWatcher::CheckConversations(bool (*gone)(HCONV conv)) {
    for (const Conversation& conversation : conversations) {
        if (conversation.conv && gone(conversation.conv)) OnDisconnect(conversation.conv);
    }
}

HDDEDATA CALLBACK
CDdeWatcher::Callback(UINT type, UINT, HCONV conv, HSZ, HSZ item, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    if (!g_watcher) return nullptr;
    if (type == XTYP_ADVDATA) return g_watcher->OnAdviseData(conv, item, data);
    if (type == XTYP_DISCONNECT) g_watcher->OnDisconnect(conv);
    return nullptr;
}

HDDEDATA CDdeWatcher::OnAdviseData(HCONV conv, HSZ item, HDDEDATA data) {
    for (size_t i = 0; i < links.size(); ++i) {
        if (conversations[links[i].conversation].conv != conv || links[i].itemHandle != item) continue;
        ++updates;
        view.OnUpdate(i, Elapsed(), ReadData(data));
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
}

void CDdeWatcher::OnDisconnect(HCONV conv) {
    for (Conversation& conversation : conversations) {
        if (conversation.conv != conv) continue;
        conversation.conv = nullptr;
        serverEnded = true;
        view.OnServerEnded(conversation.topic);
    }
}
