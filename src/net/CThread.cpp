#include "CThread.h"

#include <process.h>

#include <algorithm>
#include <cstring>

#include "CLog.h"

namespace {

// Wine makes a new thread's stack at least 1 MB, whatever size was asked
// for, and clears all of it as the thread starts: every worker held a
// megabyte of zeros before it did anything, 30 MB for 32 idle topics.
// Windows commits a stack only as it is touched, so there the committed
// part lies within the margin and nothing is given back. MEM_RESET keeps
// the pages committed; only their contents, dead below the stack pointer,
// may go.
void ReleaseUntouchedStack() {
#ifdef _WIN32
    const uintptr_t kMargin = 64 * 1024;  // far below any live frame of this thread
    char here = 0;
    uintptr_t top = (reinterpret_cast<uintptr_t>(&here) - kMargin) & ~uintptr_t(4095);
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(&here, &region, sizeof(region))) return;
    // The stack is one reservation: its base is the stack's low end. Only
    // committed pages that are not the guard page are handed back.
    uintptr_t at = reinterpret_cast<uintptr_t>(region.AllocationBase);
    while (at < top && VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof(region))) {
        uintptr_t end = std::min(top, reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize);
        if (region.State == MEM_COMMIT && !(region.Protect & PAGE_GUARD))
            VirtualAlloc(reinterpret_cast<void*>(at), end - at, MEM_RESET, PAGE_READWRITE);
        at = end;
    }
#endif
}

// The configuration keeps dir, polling_interval and tmout_ms side by side in
// this layout so that a starting worker can take all three in one copy.
struct SettingsBlock {
    char dir[CThread::kDirSize];
    int polling_interval;
    int tmout_ms;
};
static_assert(sizeof(SettingsBlock) == CThread::kDirSize + 2 * sizeof(int), "the settings block has no padding");

}  // namespace

CThread::CThread()
    : thread(kNoThread),
      alive(true),
      paused(false),
      apiDir{},
      pollingInterval(0),
      timeoutMs(0),
      timeAdjustMin(0),
      running(true),
      notifyWindow(nullptr),
      mailbox(std::make_shared<CValueMailbox>()) {
    InitializeCriticalSection(&lock);
}

CThread::~CThread() {
    DeleteCriticalSection(&lock);
}

uintptr_t CThread::Start(HWND window, const char* settings, const int* timeAdjust, const std::string& topicName) {
    notifyWindow = window;
    SettingsBlock block;
    memcpy(&block, settings, sizeof(block));
    memcpy(apiDir, block.dir, sizeof(apiDir));
    apiDir[kDirSize - 1] = '\0';
    pollingInterval = block.polling_interval;
    timeoutMs = block.tmout_ms;
    timeAdjustMin = *timeAdjust;
    SetTopic(topicName);
    thread = _beginthread(ThreadEntry, 0, this);
    if (thread == kNoThread) {
        CLog::Write("%sスレッド生成失敗\r\n", topicName.c_str());
        alive = false;
    }
    return thread;
}

void CThread::Stop() {
    running = false;
    Wake();
}

void CThread::Wake() {}

int CThread::SetTopic(const std::string& name) {
    EnterCriticalSection(&lock);
    if (&name != &topic) topic = name;
    LeaveCriticalSection(&lock);
    return 0;
}

std::string CThread::GetTopic() {
    EnterCriticalSection(&lock);
    std::string copy = topic;
    LeaveCriticalSection(&lock);
    return copy;
}

int CThread::AddItem(const std::string& name) {
    EnterCriticalSection(&lock);
    bool known = false;
    for (const std::string& item : items) {
        if (item == name) {
            known = true;
            break;
        }
    }
    if (!known) items.push_back(name);
    LeaveCriticalSection(&lock);
    return 0;
}

bool CThread::CopyItem(size_t index, std::string* itemOut) {
    EnterCriticalSection(&lock);
    bool present = index < items.size();
    if (present) *itemOut = items[index];
    LeaveCriticalSection(&lock);
    return present;
}

void CThread::ThreadMain() {}

// alive is cleared here and nowhere else on the worker's thread: the owner
// may destroy the worker as soon as it reads false, so that store must be
// the thread's last touch of the object, after ThreadMain and everything
// it owns are done. A body that cleared it too would race its own return.
void CThread::ThreadEntry(void* worker) {
    CThread* self = static_cast<CThread*>(worker);
    ReleaseUntouchedStack();
    if (self->running) self->ThreadMain();
    self->alive = false;
}

void CThread::NoteDocument() {
    EnterCriticalSection(&lock);
    ++health.documents;
    health.lastDocumentTick = GetTickCount();
    health.failing = false;
    health.error.clear();
    LeaveCriticalSection(&lock);
}

void CThread::NoteFailing(const std::string& text) {
    EnterCriticalSection(&lock);
    health.failing = true;
    health.error = text;
    LeaveCriticalSection(&lock);
}

void CThread::NoteRecovered() {
    EnterCriticalSection(&lock);
    health.failing = false;
    LeaveCriticalSection(&lock);
}

void CThread::NoteError(const std::string& text) {
    EnterCriticalSection(&lock);
    health.error = text;
    LeaveCriticalSection(&lock);
}

CThread::Health CThread::GetHealth() {
    EnterCriticalSection(&lock);
    Health copy = health;
    LeaveCriticalSection(&lock);
    return copy;
}
