#include <windows.h>
#include <ddeml.h>

#include "DdeTestClient.h"

#include <algorithm>
#include <cctype>

namespace {

// DDEML's callback has no context argument; conversations lead back to their
// client.
std::vector<DdeTestClient*> g_clients;

}  // namespace

DdeTestClient::DdeTestClient() : instanceId(0) {
    DdeInitializeA(&instanceId, Callback, APPCMD_CLIENTONLY, 0);
    g_clients.push_back(this);
}

DdeTestClient::~DdeTestClient() {
    g_clients.erase(std::find(g_clients.begin(), g_clients.end(), this));
    for (HCONV conv : conversations)
        DdeDisconnect(conv);
    for (const auto& entry : handles)
        DdeFreeStringHandle(instanceId, entry.second);
    DdeUninitialize(instanceId);
}

HSZ DdeTestClient::Handle(const char* text) {
    std::string key = text;
    for (char& c : key)
        c = (char)tolower((unsigned char)c);
    auto it = handles.find(key);
    if (it != handles.end()) return it->second;
    HSZ hsz = DdeCreateStringHandleA(instanceId, text, CP_WINANSI);
    if (!hsz) return nullptr;
    DdeKeepStringHandle(instanceId, hsz);
    handles[key] = hsz;
    return hsz;
}

HCONV DdeTestClient::Connect(const char* service, const char* topic) {
    HCONV conv = DdeConnect(instanceId, Handle(service), Handle(topic), nullptr);
    if (conv) conversations.push_back(conv);
    return conv;
}

bool DdeTestClient::Disconnect(HCONV conv) {
    conversations.erase(std::remove(conversations.begin(), conversations.end(), conv), conversations.end());
    return DdeDisconnect(conv) != FALSE;
}

bool DdeTestClient::AdviseStart(HCONV conv, const char* item, UINT format) {
    DWORD result = 0;
    return DdeClientTransaction(nullptr, 0, conv, Handle(item), format, XTYP_ADVSTART, 5000, &result) != nullptr;
}

bool DdeTestClient::AdviseStop(HCONV conv, const char* item, UINT format) {
    DWORD result = 0;
    return DdeClientTransaction(nullptr, 0, conv, Handle(item), format, XTYP_ADVSTOP, 5000, &result) != nullptr;
}

bool DdeTestClient::Request(HCONV conv, const char* item, std::string* dataOut) {
    DWORD result = 0;
    HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, Handle(item), CF_TEXT, XTYP_REQUEST, 5000, &result);
    if (!data) return false;
    DWORD size = DdeGetData(data, nullptr, 0, 0);
    dataOut->assign(size, '\0');
    if (size) DdeGetData(data, reinterpret_cast<LPBYTE>(&(*dataOut)[0]), size, 0);
    DdeFreeDataHandle(data);
    return true;
}

size_t DdeTestClient::Waiting(HCONV conv, HSZ item) const {
    auto it = deliveries.find(std::make_pair(conv, item));
    return it == deliveries.end() ? 0 : it->second.size();
}

std::vector<std::string> DdeTestClient::Take(HCONV conv, const char* item, size_t count, DWORD timeoutMs) {
    HSZ hsz = Handle(item);
    PumpUntil([&] { return Waiting(conv, hsz) >= count; }, timeoutMs);
    std::vector<std::string> taken;
    taken.swap(deliveries[std::make_pair(conv, hsz)]);
    return taken;
}

bool DdeTestClient::IsDisconnected(HCONV conv) const {
    return std::find(endedByServer.begin(), endedByServer.end(), conv) != endedByServer.end();
}

HDDEDATA CALLBACK
DdeTestClient::Callback(UINT type, UINT, HCONV conv, HSZ, HSZ item, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
    for (DdeTestClient* client : g_clients) {
        if (std::find(client->conversations.begin(), client->conversations.end(), conv) == client->conversations.end())
            continue;
        if (type == XTYP_DISCONNECT) {
            client->endedByServer.push_back(conv);
            return nullptr;
        }
        if (type != XTYP_ADVDATA) return nullptr;
        std::string bytes(data ? DdeGetData(data, nullptr, 0, 0) : 0, '\0');
        if (!bytes.empty()) DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), (DWORD)bytes.size(), 0);
        client->deliveries[std::make_pair(conv, item)].push_back(bytes);
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }
    return nullptr;
}
