#include <windows.h>
#include <ddeml.h>

#include "CDdeServer.h"

#include <cstring>

#include "AppMessages.h"
#include "DdeErrors.h"

CDdeServer* g_ddeServer = nullptr;

namespace {

HDDEDATA Answer(LRESULT value) {
    return reinterpret_cast<HDDEDATA>(value);
}

}  // namespace

HDDEDATA CALLBACK
DdeCallback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2) {
    if (!g_ddeServer) return nullptr;
    return g_ddeServer->OnDdeCallback(type, format, conv, hsz1, hsz2, data, data1, data2);
}

CDdeServer::CDdeServer() : window(nullptr), instanceId(0), serviceHandle(nullptr), serviceName() {
    g_ddeServer = this;
}

// Transactions that DDEML still delivers while the service ends find no
// server object any more and get no answer.
CDdeServer::~CDdeServer() {
    if (g_ddeServer == this) g_ddeServer = nullptr;
    for (std::unique_ptr<CDdeTopic>& entry : topics)
        entry.reset();
    if (!instanceId) return;
    if (serviceHandle && !DdeFreeStringHandle(instanceId, serviceHandle)) return;
    DdeUninitialize(instanceId);
}

int CDdeServer::Initialize(HWND hiddenWindow, const char* name) {
    if (DdeInitializeA(&instanceId, DdeCallback, APPCLASS_STANDARD, 0) != DMLERR_NO_ERROR) {
        ReportDdeError(instanceId);
        return 0;
    }
    // The name is cut before it is registered: clients are matched against
    // the kept 63 characters, so a longer registered name would accept none.
    strncpy(serviceName, name ? name : "", sizeof(serviceName) - 1);
    serviceName[sizeof(serviceName) - 1] = '\0';
    serviceHandle = DdeCreateStringHandleA(instanceId, serviceName, CP_WINANSI);
    if (!serviceHandle) {
        ReportDdeError(instanceId);
        return 0;
    }
    if (!DdeNameService(instanceId, serviceHandle, nullptr, DNS_REGISTER)) {
        ReportDdeError(instanceId);
        return 0;
    }
    window = hiddenWindow;
    return 1;
}

// Topic and item are found by the names the entry keeps, and advised with the
// handles it keeps: no DDEML string call per value.
int CDdeServer::SetItemValue(const std::string& topic, const std::string& item, std::string value) {
    int slot = FindTopicByName(topic);
    if (slot < 0) return -1;
    CDdeTopic& entry = *topics[slot];
    int index = entry.FindItemByName(CDdeTopic::Lowered(item));
    if (index < 0) return -1;
    entry.SetValue(index, std::move(value));
    if (!DdePostAdvise(instanceId, entry.GetTopicHandle(), entry.GetItemHandle(index))) ReportDdeError(instanceId);
    return 0;
}

HDDEDATA
CDdeServer::OnDdeCallback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT:
            return OnDdeConnect(hsz1, hsz2);
        case XTYP_CONNECT_CONFIRM:
            return Answer(1);
        case XTYP_ADVSTART:
            return OnDdeAdvStart(format, conv, hsz1, hsz2);
        case XTYP_ADVREQ:
            return OnDdeAdvReq(hsz1, hsz2);
        case XTYP_ADVSTOP:
            return OnDdeAdvStop(format, conv, hsz1, hsz2);
        case XTYP_DISCONNECT:
            return OnDdeDisconnect(conv);
    }
    // Requests, pokes, executes and wildcard connections are not served;
    // other notifications change nothing.
    return nullptr;
}

HDDEDATA CDdeServer::OnDdeConnect(HSZ topic, HSZ service) {
    char requested[kNameSize] = {};
    if (!DdeQueryStringA(instanceId, service, requested, sizeof(requested), CP_WINANSI)) return Answer(FALSE);
    if (strcmp(requested, serviceName) != 0) return Answer(FALSE);
    if (FindTopicByHandle(topic) >= 0) return Answer(TRUE);
    if (IsStatusTopic(topic)) {
        topics[kStatusSlot].reset(new CDdeTopic());
        topics[kStatusSlot]->SetHandles(instanceId, serviceHandle, topic);
        return Answer(TRUE);
    }
    // With every slot taken the conversation is still accepted, but no advise
    // start on it will be.
    int slot = FindFreeSlot();
    if (slot < 0) return Answer(TRUE);
    topics[slot].reset(new CDdeTopic());
    topics[slot]->SetHandles(instanceId, serviceHandle, topic);
    std::string name = topics[slot]->GetTopicName();
    return Answer(SendMessageA(window, WM_APP_CONNECTED, reinterpret_cast<WPARAM>(&name), 0));
}

HDDEDATA CDdeServer::OnDdeAdvStart(UINT format, HCONV conv, HSZ topic, HSZ item) {
    if (format != CF_TEXT) return Answer(FALSE);
    int slot = FindTopicByHandle(topic);
    if (slot < 0) return Answer(FALSE);
    CDdeTopic& entry = *topics[slot];
    int index = LinkItem(entry, item);
    if (index < 0) return Answer(FALSE);
    entry.StartLoop(conv, index);
    std::string* topicName = new std::string(entry.GetTopicName());
    std::string* itemName = new std::string(entry.GetItemName(index));
    if (!PostMessageA(window, WM_APP_ADVISE_START, reinterpret_cast<WPARAM>(topicName),
                      reinterpret_cast<LPARAM>(itemName))) {
        delete topicName;
        delete itemName;
    }
    return Answer(TRUE);
}

HDDEDATA CDdeServer::OnDdeAdvReq(HSZ topic, HSZ item) {
    for (const std::unique_ptr<CDdeTopic>& entry : topics) {
        if (!entry || entry->GetTopicHandle() != topic) continue;
        int index = entry->FindItem(item);
        if (index < 0) continue;
        // CF_TEXT ends with one NUL; a value is cut at its first NUL.
        const char* text = entry->GetValue(index).c_str();
        return DdeCreateDataHandle(instanceId, (LPBYTE)text, (DWORD)strlen(text) + 1, 0, item, CF_TEXT, 0);
    }
    return nullptr;
}

// A stop only ends a loop: the worker is paused when conversations end, as
// it always was, and a conversation that stays may advise again.
HDDEDATA CDdeServer::OnDdeAdvStop(UINT format, HCONV conv, HSZ topic, HSZ item) {
    if (format != CF_TEXT) return nullptr;
    int slot = FindTopicByHandle(topic);
    if (slot < 0) return nullptr;
    int index = topics[slot]->FindItem(item);
    if (index >= 0) topics[slot]->StopLoop(conv, index);
    return nullptr;
}

// Other conversations may still be reading the topic; its worker may only
// pause once the last one with a loop has gone.
HDDEDATA CDdeServer::OnDdeDisconnect(HCONV conv) {
    if (!conv) return nullptr;
    int slot = FindTopicByConversation(conv);
    if (slot < 0) return nullptr;
    if (!topics[slot]->EndConversation(conv)) return nullptr;
    std::string name = topics[slot]->GetTopicName();
    return Answer(SendMessageA(window, WM_APP_DISCONNECTED, reinterpret_cast<WPARAM>(&name), 0));
}

int CDdeServer::FindTopicByHandle(HSZ topic) const {
    for (int i = 0; i <= kStatusSlot; ++i) {
        if (topics[i] && topics[i]->GetTopicHandle() == topic) return i;
    }
    return -1;
}

int CDdeServer::FindTopicByConversation(HCONV conv) const {
    for (int i = 0; i <= kStatusSlot; ++i) {
        if (topics[i] && topics[i]->Knows(conv)) return i;
    }
    return -1;
}

// The table's side is lowered and the given name is not: a topic written
// with capitals finds nothing.
int CDdeServer::FindTopicByName(const std::string& topic) const {
    for (int i = 0; i <= kStatusSlot; ++i) {
        if (topics[i] && topics[i]->GetTopicName() == topic) return i;
    }
    return -1;
}

bool CDdeServer::IsStatusTopic(HSZ topic) const {
    char name[kNameSize] = {};
    if (!DdeQueryStringA(instanceId, topic, name, sizeof(name), CP_WINANSI)) return false;
    const char* status = kStatusTopic;
    size_t i = 0;
    for (; name[i] != '\0' && status[i] != '\0'; ++i) {
        char c = name[i] >= 'A' && name[i] <= 'Z' ? (char)(name[i] - 'A' + 'a') : name[i];
        if (c != status[i]) return false;
    }
    return name[i] == '\0' && status[i] == '\0';
}

int CDdeServer::FindFreeSlot() const {
    for (int i = 0; i < kMaxTopics; ++i) {
        if (!topics[i]) return i;
    }
    return -1;
}

// Slot of the item in the entry, appending it when it is new; -1 when the
// entry is full. A full entry refuses only the new item: its links and values
// stay.
int CDdeServer::LinkItem(CDdeTopic& entry, HSZ item) {
    int index = entry.FindItem(item);
    if (index >= 0) return index;
    if (!entry.AddItemHandle(item)) return -1;
    return entry.GetItemCount() - 1;
}
