#include "CValueMailbox.h"

#include <cstring>

namespace {

using Share = std::shared_ptr<CValueMailbox>;

bool SameCell(const CItemValue& a, const CItemValue& b) {
    return a.item == b.item && a.topic == b.topic;
}

}  // namespace

CValueMailbox::CValueMailbox() : posted(false), skipped(0) {}

void CValueMailbox::Put(HWND window, const std::vector<CItemValue>& values) {
    bool post;
    std::unique_lock<std::mutex> guard(lock);
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
    post = !posted && !waiting.empty();
    posted = posted || post;
    guard.unlock();
    // Posted outside the lock: the user-interface thread takes it to empty
    // the mailbox, and a post may wait on the receiver's queue.
    if (!post) return;
    Share* share = new Share(shared_from_this());
    if (PostMessageA(window, WM_APP_ITEM_VALUES, (WPARAM)share, 0)) return;
    delete share;
    guard.lock();
    posted = false;
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
    {
        std::lock_guard<std::mutex> guard(lock);
        values.swap(waiting);
        posted = false;
    }
    taken.notify_all();
    return values;
}

std::vector<CItemValue> CValueMailbox::TakeStalled() {
    std::vector<CItemValue> values;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!posted) values.swap(waiting);
    }
    taken.notify_all();
    return values;
}

unsigned long CValueMailbox::TakeSkippedCount() {
    std::lock_guard<std::mutex> guard(lock);
    unsigned long count = skipped;
    skipped = 0;
    return count;
}

bool CValueMailbox::WaitTaken(DWORD ms) {
    std::unique_lock<std::mutex> guard(lock);
    return taken.wait_for(guard, std::chrono::milliseconds(ms), [this] { return waiting.empty(); });
}
