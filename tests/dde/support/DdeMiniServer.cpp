#include <windows.h>
#include <ddeml.h>

#include "DdeMiniServer.h"

namespace {

DdeMiniServer* g_current = nullptr;

}  // namespace

DdeMiniServer::DdeMiniServer(const std::string& serviceName) {
    g_current = this;
    DdeInitializeA(&instanceId, Callback, APPCLASS_STANDARD, 0);
    service = DdeCreateStringHandleA(instanceId, serviceName.c_str(), CP_WINANSI);
    DdeNameService(instanceId, service, nullptr, DNS_REGISTER);
}

DdeMiniServer::~DdeMiniServer() {
    DdeFreeStringHandle(instanceId, service);
    DdeUninitialize(instanceId);
    g_current = nullptr;
}

int DdeMiniServer::PostAdvise(const char* topic, const char* item) {
    HSZ topicHandle = DdeCreateStringHandleA(instanceId, topic, CP_WINANSI);
    HSZ itemHandle = DdeCreateStringHandleA(instanceId, item, CP_WINANSI);
    advReqs = 0;
    bool posted = DdePostAdvise(instanceId, topicHandle, itemHandle);
    int counted = advReqs;
    DdeFreeStringHandle(instanceId, topicHandle);
    DdeFreeStringHandle(instanceId, itemHandle);
    return posted ? counted : -1;
}

HDDEDATA CALLBACK DdeMiniServer::Callback(UINT type, UINT, HCONV conv, HSZ, HSZ item, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    DdeMiniServer* self = g_current;
    if (!self) return nullptr;
    switch (type) {
        case XTYP_CONNECT:
            return reinterpret_cast<HDDEDATA>(TRUE);
        case XTYP_CONNECT_CONFIRM:
            self->conversations.push_back(conv);
            return nullptr;
        case XTYP_ADVSTART:
            return reinterpret_cast<HDDEDATA>((LONG_PTR)(self->acceptAdvise && ++self->advStarts > self->refusals));
        case XTYP_ADVREQ:
            ++self->advReqs;
            return DdeCreateDataHandle(self->instanceId, (LPBYTE)self->value.c_str(), (DWORD)self->value.size() + 1, 0,
                                       item, CF_TEXT, 0);
    }
    return nullptr;
}
