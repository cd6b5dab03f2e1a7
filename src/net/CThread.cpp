#include "CThread.h"

#include <process.h>

#include <cstring>

#include "CLog.h"

namespace {

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
