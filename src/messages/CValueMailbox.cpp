#include "CValueMailbox.h"

#include <cstring>

namespace {

using Share = std::shared_ptr<CValueMailbox>;

bool SameCell(const CItemValue& a, const CItemValue& b) {
    return a.item == b.item && a.topic == b.topic;
}

}  // namespace

// Signalled while nothing waits: the mailbox starts empty.
CValueMailbox::CValueMailbox() : taken(CreateEventA(nullptr, TRUE, TRUE, nullptr)), posted(false), skipped(0) {
    InitializeCriticalSection(&lock);
}

CValueMailbox::~CValueMailbox() {
    DeleteCriticalSection(&lock);
    if (taken) CloseHandle(taken);
}

void CValueMailbox::Put(HWND window, const std::vector<CItemValue>& values) {
    EnterCriticalSection(&lock);
    for (const CItemValue& value : values) {
        bool replaced = false;
        for (CItemValue& old : waiting) {
            if (!SameCell(old, value)) continue;
            memcpy(old.value, value.value, sizeof(old.value));
            ++skipped;
            replaced = true;
            break;
        }
        if (!replaced) waiting.push_back(value);
    }
    if (!waiting.empty() && taken) ResetEvent(taken);
    bool post = !posted && !waiting.empty();
    posted = posted || post;
    LeaveCriticalSection(&lock);
    // Posted outside the lock: the user-interface thread takes it to empty
    // the mailbox, and a post may wait on the receiver's queue.
    if (!post) return;
    Share* share = new Share(shared_from_this());
    if (PostMessageA(window, WM_APP_ITEM_VALUES, (WPARAM)share, 0)) return;
    delete share;
    EnterCriticalSection(&lock);
    posted = false;
    LeaveCriticalSection(&lock);
}

std::vector<CItemValue> CValueMailbox::TakePosted(WPARAM wParam) {
    std::unique_ptr<Share> share(reinterpret_cast<Share*>(wParam));
    if (!share || !*share) return {};
    return (*share)->Take();
}

void CValueMailbox::ReleasePosted(WPARAM wParam) {
    delete reinterpret_cast<Share*>(wParam);
}

std::vector<CItemValue> CValueMailbox::Take() {
    std::vector<CItemValue> values;
    EnterCriticalSection(&lock);
    values.swap(waiting);
    posted = false;
    if (taken) SetEvent(taken);
    LeaveCriticalSection(&lock);
    return values;
}

std::vector<CItemValue> CValueMailbox::TakeStalled() {
    std::vector<CItemValue> values;
    EnterCriticalSection(&lock);
    if (!posted) {
        values.swap(waiting);
        if (taken) SetEvent(taken);
    }
    LeaveCriticalSection(&lock);
    return values;
}

unsigned long CValueMailbox::TakeSkippedCount() {
    EnterCriticalSection(&lock);
    unsigned long count = skipped;
    skipped = 0;
    LeaveCriticalSection(&lock);
    return count;
}

bool CValueMailbox::Empty() {
    EnterCriticalSection(&lock);
    bool empty = waiting.empty();
    LeaveCriticalSection(&lock);
    return empty;
}

// An event, set as the values are taken: a wait in steps of a millisecond
// cost each message of a burst the millisecond (100 messages took 110 ms to
// reach the cells). One event per mailbox, made with it, keeps the count of
// kernel objects fixed. Without one, the mailbox is looked at every
// millisecond.
bool CValueMailbox::WaitTaken(DWORD ms) {
    if (taken) return WaitForSingleObject(taken, ms) == WAIT_OBJECT_0 || Empty();
    DWORD start = GetTickCount();
    while (!Empty()) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(1);
    }
    return true;
}
