#include <windows.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A message sent from another thread waits in the receiver's queue until the
// receiver next looks for messages; the sender blocks until it is answered.
struct SentMessage {
    MSG msg;
    LRESULT result = 0;
    bool answered = false;
    std::condition_variable replied;
};

struct Timer {
    HWND window;
    UINT_PTR id;
    UINT elapseMs;
    DWORD due;
};

struct ThreadQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<MSG> posted;
    std::vector<Timer> timers;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quitPosted = false;
    int quitCode = 0;
};

struct WindowClass {
    std::string name;
    WNDPROC proc;
};

struct Window {
    std::string className;
    std::string name;
    WNDPROC proc;
    std::shared_ptr<ThreadQueue> queue;
};

// Guards the class and window tables; never held while a procedure runs.
std::mutex g_tablesLock;
std::vector<WindowClass> g_classes;
std::map<uintptr_t, Window> g_windows;
uintptr_t g_nextWindow = 0x10010;

thread_local std::shared_ptr<ThreadQueue> t_queue;

std::shared_ptr<ThreadQueue> CurrentQueue() {
    if (!t_queue) t_queue = std::make_shared<ThreadQueue>();
    return t_queue;
}

bool SameName(const std::string& a, LPCSTR b) {
    return b && strcasecmp(a.c_str(), b) == 0;
}

bool FindWindowRecord(HWND window, Window* recordOut) {
    std::lock_guard<std::mutex> guard(g_tablesLock);
    auto it = g_windows.find(reinterpret_cast<uintptr_t>(window));
    if (it == g_windows.end()) return false;
    *recordOut = it->second;
    return true;
}

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    return msg;
}

// A window filter of (HWND)-1 selects the messages posted to the thread itself.
bool Matches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
    if (window == (HWND)(LONG_PTR)-1 && msg.hwnd) return false;
    if (window && window != (HWND)(LONG_PTR)-1 && msg.hwnd != window) return false;
    if (filterMin == 0 && filterMax == 0) return true;
    return msg.message >= filterMin && msg.message <= filterMax;
}

void AnswerSentMessages(ThreadQueue& queue) {
    std::unique_lock<std::mutex> hold(queue.lock);
    while (!queue.sent.empty()) {
        std::shared_ptr<SentMessage> sent = queue.sent.front();
        queue.sent.pop_front();
        hold.unlock();
        Window record;
        LRESULT result = 0;
        if (FindWindowRecord(sent->msg.hwnd, &record))
            result = record.proc(sent->msg.hwnd, sent->msg.message, sent->msg.wParam, sent->msg.lParam);
        hold.lock();
        sent->result = result;
        sent->answered = true;
        sent->replied.notify_all();
    }
}

// Looks for a posted message (then the quit flag) under the queue's lock.
bool TakeMessage(ThreadQueue& queue, LPMSG msg, HWND window, UINT filterMin, UINT filterMax, bool remove) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!Matches(*it, window, filterMin, filterMax)) continue;
        *msg = *it;
        if (remove) queue.posted.erase(it);
        return true;
    }
    if (queue.quitPosted) {
        *msg = MakeMessage(nullptr, WM_QUIT, (WPARAM)queue.quitCode, 0);
        if (remove) queue.quitPosted = false;
        return true;
    }
    DWORD now = GetTickCount();
    for (Timer& timer : queue.timers) {
        if ((int)(now - timer.due) < 0 ||
            !Matches(MakeMessage(timer.window, WM_TIMER, timer.id, 0), window, filterMin, filterMax))
            continue;
        *msg = MakeMessage(timer.window, WM_TIMER, timer.id, 0);
        if (remove) timer.due = now + timer.elapseMs;
        return true;
    }
    return false;
}

// How long GetMessage may sleep before a timer is due; -1 without timers.
int MillisecondsToNextTimer(const ThreadQueue& queue) {
    int next = -1;
    DWORD now = GetTickCount();
    for (const Timer& timer : queue.timers) {
        int left = std::max(0, (int)(timer.due - now));
        if (next < 0 || left < next) next = left;
    }
    return next;
}

LRESULT SendAcrossThreads(const Window& record, const MSG& msg) {
    auto sent = std::make_shared<SentMessage>();
    sent->msg = msg;
    std::unique_lock<std::mutex> hold(record.queue->lock);
    record.queue->sent.push_back(sent);
    record.queue->wake.notify_all();
    sent->replied.wait(hold, [&] { return sent->answered; });
    return sent->result;
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_tablesLock);
    for (const WindowClass& known : g_classes) {
        if (!SameName(known.name, windowClass->lpszClassName)) continue;
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    g_classes.push_back({windowClass->lpszClassName, windowClass->lpfnWndProc});
    return (ATOM)(0xC000 + g_classes.size());
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    std::lock_guard<std::mutex> guard(g_tablesLock);
    for (const auto& entry : g_windows) {
        if (SameName(entry.second.className, className)) return FALSE;
    }
    for (auto it = g_classes.begin(); it != g_classes.end(); ++it) {
        if (!SameName(it->name, className)) continue;
        g_classes.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return FALSE;
}

HWND CreateWindowExA(DWORD exStyle,
                     LPCSTR className,
                     LPCSTR windowName,
                     DWORD style,
                     int x,
                     int y,
                     int width,
                     int height,
                     HWND parent,
                     HMENU menu,
                     HINSTANCE instance,
                     LPVOID param) {
    HWND window = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_tablesLock);
        const WindowClass* found = nullptr;
        for (const WindowClass& known : g_classes) {
            if (SameName(known.name, className)) found = &known;
        }
        if (!found) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        window = reinterpret_cast<HWND>(g_nextWindow);
        g_nextWindow += 0x10;
        g_windows[reinterpret_cast<uintptr_t>(window)] =
            Window{found->name, windowName ? windowName : "", found->proc, CurrentQueue()};
    }
    CREATESTRUCTA create = {param, instance, menu,        parent,     height,    width,
                            y,     x,        (LONG)style, windowName, className, exStyle};
    if (SendMessageA(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

BOOL DestroyWindow(HWND window) {
    Window record;
    if (!FindWindowRecord(window, &record)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Only the owning thread may destroy a window, as on Windows.
    if (record.queue != t_queue) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    record.proc(window, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> guard(g_tablesLock);
        g_windows.erase(reinterpret_cast<uintptr_t>(window));
    }
    std::lock_guard<std::mutex> guard(record.queue->lock);
    std::deque<MSG>& posted = record.queue->posted;
    for (auto it = posted.begin(); it != posted.end();)
        it = it->hwnd == window ? posted.erase(it) : it + 1;
    std::vector<Timer>& timers = record.queue->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.window == window; }),
                 timers.end());
    return TRUE;
}

BOOL IsWindow(HWND window) {
    Window record;
    return FindWindowRecord(window, &record);
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    std::lock_guard<std::mutex> guard(g_tablesLock);
    for (const auto& entry : g_windows) {
        if (className && !SameName(entry.second.className, className)) continue;
        if (windowName && entry.second.name != windowName) continue;
        return reinterpret_cast<HWND>(entry.first);
    }
    return nullptr;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) DestroyWindow(window);
    return 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> queue;
    if (window) {
        Window record;
        if (!FindWindowRecord(window, &record)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue = record.queue;
    } else {
        queue = CurrentQueue();
    }
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->posted.size() >= kPostedMessageQuota) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue->posted.push_back(MakeMessage(window, message, wParam, lParam));
    queue->wake.notify_all();
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Window record;
    if (!FindWindowRecord(window, &record)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (record.queue == t_queue) return record.proc(window, message, wParam, lParam);
    return SendAcrossThreads(record, MakeMessage(window, message, wParam, lParam));
}

void PostQuitMessage(int exitCode) {
    std::shared_ptr<ThreadQueue> queue = CurrentQueue();
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->quitPosted = true;
    queue->quitCode = exitCode;
    queue->wake.notify_all();
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    std::shared_ptr<ThreadQueue> queue = CurrentQueue();
    for (;;) {
        AnswerSentMessages(*queue);
        std::unique_lock<std::mutex> hold(queue->lock);
        if (TakeMessage(*queue, msg, window, filterMin, filterMax, true)) return msg->message != WM_QUIT;
        if (!queue->sent.empty()) continue;
        int timerMs = MillisecondsToNextTimer(*queue);
        if (timerMs < 0)
            queue->wake.wait(hold);
        else
            queue->wake.wait_for(hold, std::chrono::milliseconds(timerMs));
    }
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    std::shared_ptr<ThreadQueue> queue = CurrentQueue();
    AnswerSentMessages(*queue);
    std::lock_guard<std::mutex> guard(queue->lock);
    return TakeMessage(*queue, msg, window, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    Window record;
    if (!window || proc || !FindWindowRecord(window, &record)) {
        SetLastError(window ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // Windows raises shorter times to 10 ms.
    elapseMs = std::max(elapseMs, 10u);
    std::lock_guard<std::mutex> guard(record.queue->lock);
    Timer timer = {window, id, elapseMs, GetTickCount() + elapseMs};
    for (Timer& existing : record.queue->timers) {
        if (existing.window != window || existing.id != id) continue;
        existing = timer;
        return id;
    }
    record.queue->timers.push_back(timer);
    record.queue->wake.notify_all();
    return id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    Window record;
    if (!FindWindowRecord(window, &record)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(record.queue->lock);
    std::vector<Timer>& timers = record.queue->timers;
    auto it =
        std::find_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.window == window && t.id == id; });
    if (it == timers.end()) return FALSE;
    timers.erase(it);
    return TRUE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    Window record;
    if (!msg || !msg->hwnd || !FindWindowRecord(msg->hwnd, &record)) return 0;
    return record.proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}
