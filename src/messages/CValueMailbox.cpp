#include "CValueMailbox.h"

#include <cstring>

namespace {

using Share = std::shared_ptr<CValueMailbox>;

bool SameCell(const CItemValue& a, const CItemValue& b) {
    return a.item == b.item && a.topic == b.topic;
}

}  // namespace

CValueMailbox::CValueMailbox() : posted(false), skipped(0) {
    InitializeCriticalSection(&lock);
}

CValueMailbox::~CValueMailbox() {
    DeleteCriticalSection(&lock);
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
    LeaveCriticalSection(&lock);
    return values;
}

std::vector<CItemValue> CValueMailbox::TakeStalled() {
    std::vector<CItemValue> values;
    EnterCriticalSection(&lock);
    if (!posted) values.swap(waiting);
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

// Looked at every millisecond: the user-interface thread usually takes the
// values within one, and a handle-free wait keeps the worker's own count of
// kernel objects fixed.
bool CValueMailbox::WaitTaken(DWORD ms) {
    DWORD start = GetTickCount();
    while (!Empty()) {
        if (GetTickCount() - start >= ms) return false;
        Sleep(1);
    }
    return true;
}
