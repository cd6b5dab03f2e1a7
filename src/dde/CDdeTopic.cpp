#include <windows.h>
#include <ddeml.h>

#include "CDdeTopic.h"

#include <algorithm>

#include "DdeErrors.h"

namespace {

// Names are Shift_JIS text: the second byte of a double-byte character may
// fall in 'A'..'Z' and must not be lowered with the letters.
bool IsShiftJisLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

void LowerAsciiLetters(char* text) {
    for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
        if (IsShiftJisLeadByte(*p)) {
            if (!p[1]) break;
            ++p;
        } else if (*p >= 'A' && *p <= 'Z') {
            *p = (unsigned char)(*p - 'A' + 'a');
        }
    }
}

}  // namespace

CDdeTopic::CDdeTopic() : endOwed(false), instanceId(0), serviceHandle(nullptr), topicHandle(nullptr), itemCount(0) {}

// The handles came with the clients' transactions. Once the last client lets
// go of a text DDEML forgets it, and a returning client would get a new
// handle that matches nothing here; so the entry holds on to its handles
// until it goes.
CDdeTopic::~CDdeTopic() {
    if (!instanceId) return;
    for (const Item& item : items)
        DdeFreeStringHandle(instanceId, item.handle);
    if (topicHandle) DdeFreeStringHandle(instanceId, topicHandle);
}

void CDdeTopic::SetHandles(DWORD instance, HSZ service, HSZ topic) {
    instanceId = instance;
    serviceHandle = service;
    topicHandle = topic;
    if (topicHandle) DdeKeepStringHandle(instanceId, topicHandle);
    topicName = ReadName(topicHandle);
}

HSZ CDdeTopic::GetItemHandle(int index) const {
    if (index < 0 || index >= itemCount) return nullptr;
    return items[index].handle;
}

BOOL CDdeTopic::AddItemHandle(HSZ handle) {
    if (itemCount >= kMaxItems) return FALSE;
    DdeKeepStringHandle(instanceId, handle);
    items.push_back(Item{handle, ReadName(handle), std::string()});
    ++itemCount;
    return TRUE;
}

int CDdeTopic::FindItem(HSZ handle) const {
    for (int i = 0; i < itemCount; ++i) {
        if (items[i].handle == handle) return i;
    }
    return -1;
}

int CDdeTopic::FindItemByName(const std::string& loweredName) const {
    for (int i = 0; i < itemCount; ++i) {
        if (items[i].name == loweredName) return i;
    }
    return -1;
}

// DDEML may pass a repeated advise start on a live link: it is still one loop,
// ended by one stop.
void CDdeTopic::StartLoop(HCONV conv, int index) {
    endOwed = true;
    Advising* entry = FindAdvising(conv);
    if (!entry) {
        advising.push_back(Advising{conv, {}});
        entry = &advising.back();
    }
    if (std::find(entry->loops.begin(), entry->loops.end(), index) == entry->loops.end()) entry->loops.push_back(index);
}

void CDdeTopic::StopLoop(HCONV conv, int index) {
    Advising* entry = FindAdvising(conv);
    if (!entry) return;
    entry->loops.erase(std::remove(entry->loops.begin(), entry->loops.end(), index), entry->loops.end());
}

bool CDdeTopic::Knows(HCONV conv) const {
    return std::any_of(advising.begin(), advising.end(), [conv](const Advising& a) { return a.conv == conv; });
}

bool CDdeTopic::EndConversation(HCONV conv) {
    Advising* entry = FindAdvising(conv);
    if (!entry) return false;
    advising.erase(advising.begin() + (entry - advising.data()));
    if (!endOwed || AnyLoopLeft()) return false;
    endOwed = false;
    return true;
}

CDdeTopic::Advising* CDdeTopic::FindAdvising(HCONV conv) {
    for (Advising& entry : advising) {
        if (entry.conv == conv) return &entry;
    }
    return nullptr;
}

bool CDdeTopic::AnyLoopLeft() const {
    return std::any_of(advising.begin(), advising.end(), [](const Advising& a) { return !a.loops.empty(); });
}

std::string CDdeTopic::GetItemName(int index) const {
    if (index < 0 || index >= itemCount) return std::string();
    return items[index].name;
}

std::string CDdeTopic::Lowered(std::string text) {
    LowerAsciiLetters(&text[0]);
    return text;
}

std::string CDdeTopic::ReadName(HSZ handle) const {
    char name[kNameSize] = {};
    if (DdeQueryStringA(instanceId, handle, name, sizeof(name), CP_WINANSI) == 0) {
        ReportDdeError(instanceId);
        name[0] = '\0';
    }
    LowerAsciiLetters(name);
    return name;
}
