#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "AppMessages.h"

// Where a worker leaves its values for the user-interface thread. At most
// one WM_APP_ITEM_VALUES is on its way per mailbox, however fast documents
// come, so a fast feed cannot fill the thread's message queue; Windows
// drops posts past 10,000 waiting messages.
//
// While values wait, a newer value of the same topic and item takes its
// place (counted as skipped): the cells lose intermediate values only when
// the user-interface thread cannot keep up, never the latest one. A post
// that fails (the queue is full) leaves the values waiting; the next Put
// posts again, and the owner collects stalled ones with TakeStalled.
//
// Made with std::make_shared: a posted message holds a share, so a mailbox
// whose worker is gone stays valid for the message still on its way.
class CValueMailbox : public std::enable_shared_from_this<CValueMailbox> {
public:
    CValueMailbox();
    ~CValueMailbox();
    CValueMailbox(const CValueMailbox&) = delete;
    CValueMailbox& operator=(const CValueMailbox&) = delete;

    // From the worker's thread: the values of one document, in item order.
    // Posts WM_APP_ITEM_VALUES to window unless a post is on its way
    // already. Never waits for the user-interface thread.
    void Put(HWND window, const std::vector<CItemValue>& values);

    // The receiver's side of WM_APP_ITEM_VALUES, given its wParam: every
    // value waiting in the mailbox that posted it, oldest first, after
    // which a later Put posts anew. Releases what the message carries.
    static std::vector<CItemValue> TakePosted(WPARAM wParam);
    // Releases what the message carries without taking the values, for a
    // receiver that is going away.
    static void ReleasePosted(WPARAM wParam);

    // Every waiting value, oldest first. The next Put posts anew.
    std::vector<CItemValue> Take();
    // The same, but only when values wait with no post on its way to hand
    // them over; otherwise nothing.
    std::vector<CItemValue> TakeStalled();
    // Values replaced before they were taken, since the last call.
    unsigned long TakeSkippedCount();

    // From the worker's thread: waits up to ms until the receiver has taken
    // what waits (at once when nothing does). A worker that waits so before
    // its next document gets every document's values into the cells while
    // the receiver keeps up, and loses no more than ms per document when it
    // does not. True when taken.
    bool WaitTaken(DWORD ms);

private:
    bool Empty();

    // A critical section, not a mutex and condition variable: those of the
    // mingw thread library take kernel handles as they are first contended.
    CRITICAL_SECTION lock;
    HANDLE taken;                     // manual reset, set while nothing waits; may be null
    std::vector<CItemValue> waiting;  // guarded by lock
    bool posted;                      // guarded by lock
    unsigned long skipped;            // guarded by lock
};
