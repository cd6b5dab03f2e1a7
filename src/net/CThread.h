#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CValueMailbox.h"

// The base of every market-data worker: one worker serves one DDE topic for
// the whole run on a thread of its own. Holds what the user-interface thread
// and the worker's thread share (topic, linked items, a copy of the HTTPS
// settings, the flags) and starts the thread. Network work is added by the
// classes derived from it.
//
// Everything but ThreadMain is called on the user-interface thread. The
// owner keeps the object until alive has become false: the thread uses the
// object to its very end, and nothing here waits for it.
class CThread {
public:
    static constexpr int kDirSize = 64;  // apiDir: 63 characters and a NUL

    CThread();
    // Not virtual: workers are destroyed only as their concrete class.
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Copies the settings and the topic, then starts the thread, which runs
    // ThreadMain. settings points to the configuration's block of dir (64
    // characters), polling_interval and tmout_ms, in that layout; timeAdjust
    // to its timeadjust_min. Returns the thread handle, or kNoThread when no
    // thread could be made: that failure is logged and alive is cleared, so
    // a shutdown wait does not hang on a thread that never existed.
    // Called at most once per object.
    uintptr_t Start(HWND window, const char* settings, const int* timeAdjust, const std::string& topicName);

    // Asks the thread to end and ends its current wait; does not wait
    // (watch alive for that).
    void Stop();

    int SetTopic(const std::string& name);
    std::string GetTopic();

    // Appends name unless an equal entry (same bytes, case matters) is there
    // already, so items keep their order of first addition. Returns 0.
    int AddItem(const std::string& name);

    // What the status topic tells of a worker, as one copy.
    struct Health {
        unsigned long documents = 0;  // published since start
        DWORD lastDocumentTick = 0;   // GetTickCount of the last one
        bool failing = false;         // within a run of failed connects
        std::string error;            // the last failure, until a document comes
    };
    // From the worker's thread: a document came; a failure run began (text
    // as its log line) or ended.
    void NoteDocument();
    void NoteFailing(const std::string& text);
    void NoteRecovered();
    // An answer that is no document: error holds text, failing stays.
    void NoteError(const std::string& text);
    Health GetHealth();

    // Copies entry index of items into itemOut under the lock; false past
    // the end. The worker's thread reads items only this way, one entry at
    // a time, so an item appended meanwhile is seen in the same pass.
    bool CopyItem(size_t index, std::string* itemOut);

    // The thread's body; this base version returns at once. Bodies leave
    // alive alone: the thread clears it once the body has returned.
    virtual void ThreadMain();
    // Ends the wait the thread is in, if it can; called by Stop after
    // running is cleared. This base version does nothing.
    virtual void Wake();

    static constexpr uintptr_t kNoThread = (uintptr_t)-1;

    // Fields in this order; apiDir, pollingInterval and timeoutMs are copied
    // in one piece from the configuration's block of the same layout.
    uintptr_t thread;
    std::atomic<bool> alive;  // written only by the worker's thread once it runs
    std::atomic<bool> paused;
    char apiDir[kDirSize];
    int pollingInterval;  // seconds
    int timeoutMs;
    int timeAdjustMin;
    std::string topic;               // guarded by lock
    std::vector<std::string> items;  // guarded by lock
    std::atomic<bool> running;
    HWND notifyWindow;
    // Where the thread leaves its values for notifyWindow's thread.
    const std::shared_ptr<CValueMailbox> mailbox;
    // A leaf lock: never held across a network call, a wait or a post.
    CRITICAL_SECTION lock;

private:
    static void ThreadEntry(void* worker);

    Health health;  // guarded by lock
};
