#include <windows.h>
#include <ddeml.h>

#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Windows keeps DDE strings as global atoms, which hold at most 255 characters.
const size_t kMaxStringLength = 255;

struct Atom {
    std::string text;  // as first created: the handle keeps that spelling
    int refs;
};

struct Instance {
    PFNCALLBACK callback;
    DWORD afCmd;
    UINT lastError;
    std::map<uintptr_t, int> held;  // handles created or kept by the instance
    std::vector<uintptr_t> services;
};

struct Link {
    uintptr_t item;
    UINT format;
    UINT flags;
};

// One conversation, seen by the server under one handle and by the client
// under another, as with DDEML.
struct Conversation {
    uintptr_t serverHandle;
    uintptr_t clientHandle;
    DWORD server;
    DWORD client;
    uintptr_t service;
    uintptr_t topic;
    std::vector<Link> links;
};

struct DataObject {
    DWORD instance;
    std::string bytes;
    uintptr_t item;
    UINT format;
    bool appOwned;
};

struct AdviseTarget {
    uintptr_t serverHandle;
    uintptr_t item;
    UINT format;
};

// The whole library state. Callbacks run with the lock released, so that they
// may call back into the library, and everything found before a callback is
// looked up again after it.
struct Library {
    std::mutex lock;
    std::map<DWORD, Instance> instances;
    DWORD nextInstance = 1;
    std::map<std::string, uintptr_t> atomsByText;  // lowered text -> live handle
    std::map<uintptr_t, Atom> atoms;
    uintptr_t nextAtom = 0xC000;
    std::map<uintptr_t, Conversation> conversations;  // by server handle
    uintptr_t nextConversation = 0x2000;
    std::map<uintptr_t, DataObject> data;
    uintptr_t nextData = 0x400000;
    std::string failFunction;
    UINT failError = 0;
};

Library g_lib;
using Hold = std::unique_lock<std::mutex>;

template <typename T>
T ToHandle(uintptr_t value) {
    return reinterpret_cast<T>(value);
}

template <typename T>
uintptr_t FromHandle(T handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

Instance* FindInstance(DWORD id) {
    auto it = g_lib.instances.find(id);
    return it == g_lib.instances.end() ? nullptr : &it->second;
}

bool SetError(DWORD id, UINT error) {
    if (Instance* instance = FindInstance(id)) instance->lastError = error;
    return false;
}

bool FailsNow(const char* function, DWORD id) {
    if (g_lib.failFunction != function) return false;
    g_lib.failFunction.clear();
    SetError(id, g_lib.failError);
    return true;
}

bool IsLive(uintptr_t hsz) {
    return g_lib.atoms.count(hsz) != 0;
}

void Retain(uintptr_t hsz) {
    auto it = g_lib.atoms.find(hsz);
    if (it != g_lib.atoms.end()) ++it->second.refs;
}

void Release(uintptr_t hsz) {
    auto it = g_lib.atoms.find(hsz);
    if (it == g_lib.atoms.end() || --it->second.refs > 0) return;
    std::string key = it->second.text;
    for (char& c : key)
        c = (char)tolower((unsigned char)c);
    g_lib.atomsByText.erase(key);
    g_lib.atoms.erase(it);
}

bool HasService(const Instance& instance, uintptr_t service) {
    for (uintptr_t known : instance.services) {
        if (known == service) return true;
    }
    return false;
}

Conversation* FindByServerHandle(uintptr_t handle) {
    auto it = g_lib.conversations.find(handle);
    return it == g_lib.conversations.end() ? nullptr : &it->second;
}

Conversation* FindByClientHandle(uintptr_t handle) {
    for (auto& entry : g_lib.conversations) {
        if (entry.second.clientHandle == handle) return &entry.second;
    }
    return nullptr;
}

Conversation* FindByEitherHandle(uintptr_t handle) {
    Conversation* conv = FindByServerHandle(handle);
    return conv ? conv : FindByClientHandle(handle);
}

Link* FindLink(Conversation& conv, uintptr_t item, UINT format) {
    for (Link& link : conv.links) {
        if (link.item == item && link.format == format) return &link;
    }
    return nullptr;
}

// Calls an instance's callback with the lock released.
HDDEDATA Invoke(Hold& hold,
                DWORD id,
                UINT type,
                UINT format,
                uintptr_t conv,
                uintptr_t hsz1,
                uintptr_t hsz2,
                uintptr_t data,
                ULONG_PTR data1,
                ULONG_PTR data2) {
    Instance* instance = FindInstance(id);
    if (!instance) return nullptr;
    PFNCALLBACK callback = instance->callback;
    hold.unlock();
    HDDEDATA answer = callback(type, format, ToHandle<HCONV>(conv), ToHandle<HSZ>(hsz1), ToHandle<HSZ>(hsz2),
                               ToHandle<HDDEDATA>(data), data1, data2);
    hold.lock();
    return answer;
}

uintptr_t NewData(DWORD id, const char* bytes, size_t size, uintptr_t item, UINT format, bool appOwned) {
    uintptr_t handle = g_lib.nextData;
    g_lib.nextData += 0x10;
    g_lib.data[handle] = DataObject{id, std::string(bytes ? bytes : "", bytes ? size : 0), item, format, appOwned};
    if (!bytes) g_lib.data[handle].bytes.assign(size, '\0');
    return handle;
}

// DDEML takes over a data handle that a callback returns, unless its owner
// made it with HDATA_APPOWNED.
void DisposeReturned(uintptr_t handle) {
    auto it = g_lib.data.find(handle);
    if (it != g_lib.data.end() && !it->second.appOwned) g_lib.data.erase(it);
}

void Unlink(Conversation& conv) {
    for (const Link& link : conv.links)
        Release(link.item);
    Release(conv.topic);
    Release(conv.service);
}

void NotifyDisconnect(Hold& hold, DWORD partner, uintptr_t partnerHandle) {
    Instance* instance = FindInstance(partner);
    if (!instance || (instance->afCmd & CBF_SKIP_DISCONNECTS)) return;
    Invoke(hold, partner, XTYP_DISCONNECT, 0, partnerHandle, 0, 0, 0, 0, 0);
}

void EndConversation(Hold& hold, uintptr_t serverHandle, DWORD endedBy) {
    Conversation* conv = FindByServerHandle(serverHandle);
    if (!conv) return;
    Conversation ended = *conv;
    g_lib.conversations.erase(serverHandle);
    Unlink(ended);
    if (ended.server != endedBy) NotifyDisconnect(hold, ended.server, ended.serverHandle);
    if (ended.client != endedBy) NotifyDisconnect(hold, ended.client, ended.clientHandle);
}

HDDEDATA Accepted(LPDWORD result) {
    if (result) *result = DDE_FACK;
    return ToHandle<HDDEDATA>(1);
}

HDDEDATA NotProcessed(DWORD client) {
    SetError(client, DMLERR_NOTPROCESSED);
    return nullptr;
}

HDDEDATA ClientAdviseStart(Hold& hold,
                           uintptr_t serverHandle,
                           uintptr_t item,
                           UINT format,
                           UINT flags,
                           LPDWORD result) {
    Conversation* conv = FindByServerHandle(serverHandle);
    DWORD client = conv->client;
    Retain(item);
    HDDEDATA answer = Invoke(hold, conv->server, XTYP_ADVSTART, format, serverHandle, conv->topic, item, 0, 0, 0);
    conv = FindByServerHandle(serverHandle);
    if (!answer || !conv || FindLink(*conv, item, format)) {
        Release(item);
        return answer && conv ? Accepted(result) : NotProcessed(client);
    }
    conv->links.push_back(Link{item, format, flags});
    return Accepted(result);
}

HDDEDATA ClientAdviseStop(Hold& hold, uintptr_t serverHandle, uintptr_t item, UINT format, LPDWORD result) {
    Conversation* conv = FindByServerHandle(serverHandle);
    Link* link = FindLink(*conv, item, format);
    if (!link) return NotProcessed(conv->client);
    conv->links.erase(conv->links.begin() + (link - conv->links.data()));
    Invoke(hold, conv->server, XTYP_ADVSTOP, format, serverHandle, conv->topic, item, 0, 0, 0);
    Release(item);
    return Accepted(result);
}

HDDEDATA ClientRequest(Hold& hold, uintptr_t serverHandle, uintptr_t item, UINT format, LPDWORD result) {
    Conversation* conv = FindByServerHandle(serverHandle);
    DWORD client = conv->client;
    uintptr_t answer =
        FromHandle(Invoke(hold, conv->server, XTYP_REQUEST, format, serverHandle, conv->topic, item, 0, 0, 0));
    auto it = g_lib.data.find(answer);
    if (it == g_lib.data.end()) return NotProcessed(client);
    uintptr_t copy = NewData(client, it->second.bytes.data(), it->second.bytes.size(), item, format, false);
    DisposeReturned(answer);
    if (result) *result = DDE_FACK;
    return ToHandle<HDDEDATA>(copy);
}

// Pokes and executes carry the client's bytes; the server's DDE_FACK accepts.
HDDEDATA ClientSend(Hold& hold,
                    uintptr_t serverHandle,
                    UINT type,
                    const BYTE* bytes,
                    DWORD size,
                    uintptr_t item,
                    UINT format,
                    LPDWORD result) {
    Conversation* conv = FindByServerHandle(serverHandle);
    DWORD client = conv->client;
    uintptr_t data = NewData(conv->server, (const char*)bytes, size, item, format, false);
    HDDEDATA answer = Invoke(hold, conv->server, type, format, serverHandle, conv->topic, item, data, 0, 0);
    g_lib.data.erase(data);
    if (!(FromHandle(answer) & DDE_FACK)) return NotProcessed(client);
    return Accepted(result);
}

std::vector<AdviseTarget> FindAdviseTargets(DWORD server, uintptr_t topic, uintptr_t item) {
    std::vector<AdviseTarget> targets;
    for (const auto& entry : g_lib.conversations) {
        const Conversation& conv = entry.second;
        if (conv.server != server || (topic && conv.topic != topic)) continue;
        for (const Link& link : conv.links) {
            if (!item || link.item == item) targets.push_back(AdviseTarget{conv.serverHandle, link.item, link.format});
        }
    }
    return targets;
}

void DeliverAdvise(Hold& hold, const AdviseTarget& target, ULONG_PTR remaining) {
    Conversation* conv = FindByServerHandle(target.serverHandle);
    if (!conv || !FindLink(*conv, target.item, target.format)) return;
    uintptr_t topic = conv->topic;
    Retain(topic);
    Retain(target.item);
    uintptr_t answer = FromHandle(Invoke(hold, conv->server, XTYP_ADVREQ, target.format, target.serverHandle, topic,
                                         target.item, 0, remaining, 0));
    conv = FindByServerHandle(target.serverHandle);
    Link* link = conv ? FindLink(*conv, target.item, target.format) : nullptr;
    auto it = g_lib.data.find(answer);
    if (link && it != g_lib.data.end()) {
        bool withData = !(link->flags & XTYPF_NODATA);
        uintptr_t copy = withData ? NewData(conv->client, it->second.bytes.data(), it->second.bytes.size(), target.item,
                                            target.format, false)
                                  : 0;
        Invoke(hold, conv->client, XTYP_ADVDATA, target.format, conv->clientHandle, topic, target.item, copy, 0, 0);
        g_lib.data.erase(copy);
    }
    DisposeReturned(answer);
    Release(target.item);
    Release(topic);
}

}  // namespace

void VornDdeFailNextCall(const char* function, UINT error) {
    Hold hold(g_lib.lock);
    g_lib.failFunction = function ? function : "";
    g_lib.failError = error;
}

UINT DdeInitializeA(LPDWORD instanceId, PFNCALLBACK callback, DWORD afCmd, DWORD) {
    Hold hold(g_lib.lock);
    if (FailsNow("DdeInitializeA", 0)) return g_lib.failError;
    if (!instanceId || !callback) return DMLERR_INVALIDPARAMETER;
    if (*instanceId) {
        Instance* instance = FindInstance(*instanceId);
        if (!instance) return DMLERR_INVALIDPARAMETER;
        instance->afCmd = afCmd;
        return DMLERR_NO_ERROR;
    }
    *instanceId = g_lib.nextInstance++;
    g_lib.instances[*instanceId] = Instance{callback, afCmd, DMLERR_NO_ERROR, {}, {}};
    return DMLERR_NO_ERROR;
}

BOOL DdeUninitialize(DWORD instanceId) {
    Hold hold(g_lib.lock);
    if (!FindInstance(instanceId)) return FALSE;
    std::vector<uintptr_t> ending;
    for (const auto& entry : g_lib.conversations) {
        if (entry.second.server == instanceId || entry.second.client == instanceId) ending.push_back(entry.first);
    }
    for (uintptr_t serverHandle : ending)
        EndConversation(hold, serverHandle, instanceId);
    Instance* instance = FindInstance(instanceId);
    if (!instance) return FALSE;
    for (const auto& held : instance->held) {
        for (int i = 0; i < held.second; ++i)
            Release(held.first);
    }
    for (uintptr_t service : instance->services)
        Release(service);
    for (auto it = g_lib.data.begin(); it != g_lib.data.end();) {
        it = it->second.instance == instanceId ? g_lib.data.erase(it) : std::next(it);
    }
    g_lib.instances.erase(instanceId);
    return TRUE;
}

UINT DdeGetLastError(DWORD instanceId) {
    Hold hold(g_lib.lock);
    Instance* instance = FindInstance(instanceId);
    if (!instance) return DMLERR_INVALIDPARAMETER;
    UINT error = instance->lastError;
    instance->lastError = DMLERR_NO_ERROR;
    return error;
}

HDDEDATA DdeNameService(DWORD instanceId, HSZ service, HSZ, UINT afCmd) {
    Hold hold(g_lib.lock);
    Instance* instance = FindInstance(instanceId);
    if (!instance || FailsNow("DdeNameService", instanceId)) return nullptr;
    if (instance->afCmd & APPCMD_CLIENTONLY) return SetError(instanceId, DMLERR_DLL_USAGE), nullptr;
    uintptr_t hsz = FromHandle(service);
    if (afCmd & DNS_REGISTER) {
        if (!IsLive(hsz)) return SetError(instanceId, DMLERR_INVALIDPARAMETER), nullptr;
        if (!HasService(*instance, hsz)) {
            Retain(hsz);
            instance->services.push_back(hsz);
        }
    } else if (afCmd & DNS_UNREGISTER) {
        for (auto it = instance->services.begin(); it != instance->services.end();) {
            if (hsz && *it != hsz) {
                ++it;
                continue;
            }
            Release(*it);
            it = instance->services.erase(it);
        }
    } else if (!(afCmd & (DNS_FILTERON | DNS_FILTEROFF))) {
        return SetError(instanceId, DMLERR_INVALIDPARAMETER), nullptr;
    }
    return ToHandle<HDDEDATA>(1);
}

HSZ DdeCreateStringHandleA(DWORD instanceId, LPCSTR text, int codePage) {
    Hold hold(g_lib.lock);
    Instance* instance = FindInstance(instanceId);
    if (!instance || FailsNow("DdeCreateStringHandleA", instanceId)) return nullptr;
    if (!text || (codePage != 0 && codePage != CP_WINANSI))
        return SetError(instanceId, DMLERR_INVALIDPARAMETER), nullptr;
    // As with Windows' atoms, an empty or overlong text has no handle.
    size_t length = strlen(text);
    if (length == 0 || length > kMaxStringLength) return nullptr;
    std::string key = text;
    for (char& c : key)
        c = (char)tolower((unsigned char)c);
    uintptr_t hsz = g_lib.atomsByText.count(key) ? g_lib.atomsByText[key] : 0;
    if (hsz) {
        Retain(hsz);
    } else {
        hsz = g_lib.nextAtom++;
        g_lib.atoms[hsz] = Atom{text, 1};
        g_lib.atomsByText[key] = hsz;
    }
    ++instance->held[hsz];
    return ToHandle<HSZ>(hsz);
}

DWORD DdeQueryStringA(DWORD instanceId, HSZ hsz, LPSTR text, DWORD size, int codePage) {
    Hold hold(g_lib.lock);
    if (!FindInstance(instanceId) || FailsNow("DdeQueryStringA", instanceId)) return 0;
    auto it = g_lib.atoms.find(FromHandle(hsz));
    if (it == g_lib.atoms.end() || (codePage != 0 && codePage != CP_WINANSI)) {
        SetError(instanceId, DMLERR_INVALIDPARAMETER);
        return 0;
    }
    const std::string& value = it->second.text;
    if (!text) return (DWORD)value.size();
    if (size == 0) return 0;
    size_t copied = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(text, value.data(), copied);
    text[copied] = '\0';
    return (DWORD)copied;
}

BOOL DdeKeepStringHandle(DWORD instanceId, HSZ hsz) {
    Hold hold(g_lib.lock);
    Instance* instance = FindInstance(instanceId);
    if (!instance) return FALSE;
    if (!IsLive(FromHandle(hsz))) return SetError(instanceId, DMLERR_INVALIDPARAMETER);
    Retain(FromHandle(hsz));
    ++instance->held[FromHandle(hsz)];
    return TRUE;
}

BOOL DdeFreeStringHandle(DWORD instanceId, HSZ hsz) {
    Hold hold(g_lib.lock);
    Instance* instance = FindInstance(instanceId);
    if (!instance || FailsNow("DdeFreeStringHandle", instanceId)) return FALSE;
    auto it = instance->held.find(FromHandle(hsz));
    if (it == instance->held.end()) return FALSE;
    if (--it->second == 0) instance->held.erase(it);
    Release(FromHandle(hsz));
    return TRUE;
}

int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2) {
    uintptr_t a = FromHandle(hsz1), b = FromHandle(hsz2);
    return a < b ? -1 : a > b ? 1 : 0;
}

HCONV DdeConnect(DWORD instanceId, HSZ service, HSZ topic, PCONVCONTEXT context) {
    Hold hold(g_lib.lock);
    if (!FindInstance(instanceId) || FailsNow("DdeConnect", instanceId)) return nullptr;
    uintptr_t topicHsz = FromHandle(topic);
    if (!IsLive(topicHsz)) return SetError(instanceId, DMLERR_INVALIDPARAMETER), nullptr;
    CONVCONTEXT defaultContext = {sizeof(CONVCONTEXT), 0, 0, CP_WINANSI, 0, 0};
    std::vector<std::pair<DWORD, uintptr_t>> servers;
    for (const auto& entry : g_lib.instances) {
        for (uintptr_t name : entry.second.services) {
            if (!service || name == FromHandle(service)) servers.emplace_back(entry.first, name);
        }
    }
    Retain(topicHsz);
    for (const auto& server : servers) {
        Instance* candidate = FindInstance(server.first);
        if (!candidate || (server.first == instanceId && (candidate->afCmd & CBF_FAIL_SELFCONNECTIONS))) continue;
        ULONG_PTR same = server.first == instanceId;
        ULONG_PTR contextArg = (ULONG_PTR)(context ? context : &defaultContext);
        if (!Invoke(hold, server.first, XTYP_CONNECT, 0, 0, topicHsz, server.second, 0, contextArg, same)) continue;
        if (!FindInstance(instanceId)) break;
        uintptr_t serverHandle = g_lib.nextConversation;
        g_lib.nextConversation += 0x20;
        Retain(server.second);
        g_lib.conversations[serverHandle] =
            Conversation{serverHandle, serverHandle + 0x10, server.first, instanceId, server.second, topicHsz, {}};
        Invoke(hold, server.first, XTYP_CONNECT_CONFIRM, 0, serverHandle, topicHsz, server.second, 0, 0, same);
        return ToHandle<HCONV>(serverHandle + 0x10);
    }
    Release(topicHsz);
    SetError(instanceId, DMLERR_NO_CONV_ESTABLISHED);
    return nullptr;
}

BOOL DdeDisconnect(HCONV conv) {
    Hold hold(g_lib.lock);
    Conversation* found = FindByEitherHandle(FromHandle(conv));
    if (!found) return FALSE;
    DWORD endedBy = found->serverHandle == FromHandle(conv) ? found->server : found->client;
    EndConversation(hold, found->serverHandle, endedBy);
    return TRUE;
}

HDDEDATA DdeClientTransaction(LPBYTE data,
                              DWORD size,
                              HCONV conv,
                              HSZ item,
                              UINT format,
                              UINT type,
                              DWORD timeout,
                              LPDWORD result) {
    Hold hold(g_lib.lock);
    if (result) *result = 0;
    Conversation* found = FindByClientHandle(FromHandle(conv));
    if (!found) return nullptr;
    if (FailsNow("DdeClientTransaction", found->client)) return nullptr;
    uintptr_t itemHsz = FromHandle(item);
    bool needsItem = (type & ~(XTYPF_NODATA | XTYPF_ACKREQ)) != XTYP_EXECUTE;
    if (timeout == TIMEOUT_ASYNC || (needsItem && !IsLive(itemHsz)))
        return SetError(found->client, DMLERR_INVALIDPARAMETER), nullptr;
    uintptr_t serverHandle = found->serverHandle;
    switch (type & ~(XTYPF_NODATA | XTYPF_ACKREQ)) {
        case XTYP_ADVSTART:
            return ClientAdviseStart(hold, serverHandle, itemHsz, format, type & (XTYPF_NODATA | XTYPF_ACKREQ), result);
        case XTYP_ADVSTOP:
            return ClientAdviseStop(hold, serverHandle, itemHsz, format, result);
        case XTYP_REQUEST:
            return ClientRequest(hold, serverHandle, itemHsz, format, result);
        case XTYP_POKE:
            return ClientSend(hold, serverHandle, XTYP_POKE, data, size, itemHsz, format, result);
        case XTYP_EXECUTE:
            return ClientSend(hold, serverHandle, XTYP_EXECUTE, data, size, 0, 0, result);
    }
    SetError(found->client, DMLERR_INVALIDPARAMETER);
    return nullptr;
}

BOOL DdePostAdvise(DWORD instanceId, HSZ topic, HSZ item) {
    Hold hold(g_lib.lock);
    if (!FindInstance(instanceId) || FailsNow("DdePostAdvise", instanceId)) return FALSE;
    std::vector<AdviseTarget> targets = FindAdviseTargets(instanceId, FromHandle(topic), FromHandle(item));
    for (size_t i = 0; i < targets.size(); ++i)
        DeliverAdvise(hold, targets[i], targets.size() - 1 - i);
    return TRUE;
}

HDDEDATA
DdeCreateDataHandle(DWORD instanceId, LPBYTE source, DWORD size, DWORD offset, HSZ item, UINT format, UINT afCmd) {
    Hold hold(g_lib.lock);
    if (!FindInstance(instanceId) || FailsNow("DdeCreateDataHandle", instanceId)) return nullptr;
    const char* bytes = source ? (const char*)source + offset : nullptr;
    bool appOwned = (afCmd & HDATA_APPOWNED) != 0;
    return ToHandle<HDDEDATA>(NewData(instanceId, bytes, size, FromHandle(item), format, appOwned));
}

DWORD DdeGetData(HDDEDATA data, LPBYTE destination, DWORD size, DWORD offset) {
    Hold hold(g_lib.lock);
    auto it = g_lib.data.find(FromHandle(data));
    if (it == g_lib.data.end()) return 0;
    const std::string& bytes = it->second.bytes;
    if (!destination) return (DWORD)bytes.size();
    if (offset >= bytes.size()) return 0;
    size_t copied = bytes.size() - offset < size ? bytes.size() - offset : size;
    memcpy(destination, bytes.data() + offset, copied);
    return (DWORD)copied;
}

LPBYTE DdeAccessData(HDDEDATA data, LPDWORD size) {
    Hold hold(g_lib.lock);
    auto it = g_lib.data.find(FromHandle(data));
    if (it == g_lib.data.end()) return nullptr;
    if (size) *size = (DWORD)it->second.bytes.size();
    return reinterpret_cast<LPBYTE>(&it->second.bytes[0]);
}

BOOL DdeUnaccessData(HDDEDATA data) {
    Hold hold(g_lib.lock);
    return g_lib.data.count(FromHandle(data)) != 0;
}

BOOL DdeFreeDataHandle(HDDEDATA data) {
    Hold hold(g_lib.lock);
    return g_lib.data.erase(FromHandle(data)) != 0;
}
