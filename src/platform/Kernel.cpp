#include <windows.h>

#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace {

thread_local DWORD t_lastError = 0;
std::string g_moduleFileName;

// What a HANDLE of this file points to, so that CloseHandle can free any.
struct KernelObject {
    virtual ~KernelObject() = default;
};

std::mutex g_namesLock;
std::map<std::string, int> g_openNames;

// A named mutex handle: every CreateMutexA returns a handle of its own, and the
// name stays taken while any handle to it is open.
struct NamedMutex : KernelObject {
    explicit NamedMutex(std::string name) : name(std::move(name)) {}
    ~NamedMutex() override {
        std::lock_guard<std::mutex> guard(g_namesLock);
        auto it = g_openNames.find(name);
        if (it != g_openNames.end() && --it->second == 0) g_openNames.erase(it);
    }
    std::string name;
};

struct Event : KernelObject {
    Event(bool manualReset, bool signalled) : manualReset(manualReset), signalled(signalled) {}
    std::mutex lock;
    std::condition_variable changed;
    const bool manualReset;
    bool signalled;  // guarded by lock
};

DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (size == 0) return 0;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return (DWORD)n;
}

}  // namespace

DWORD GetTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
    return (DWORD)ms;
}

void Sleep(DWORD milliseconds) {
    timespec ts{(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_destroy(&cs->mutex);
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_lock(&cs->mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    pthread_mutex_unlock(&cs->mutex);
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

void VornSetModuleFileName(const char* path) {
    g_moduleFileName = path ? path : "";
}

// As on Windows since Vista: a path that does not fit is cut, terminated, and
// the full size is returned.
DWORD GetModuleFileNameA(HMODULE, LPSTR fileName, DWORD size) {
    std::string path = g_moduleFileName;
    if (path.empty()) {
        char buf[4096];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        if (n < 0) return 0;
        path.assign(buf, (size_t)n);
    }
    if (path.size() >= size) {
        CopyOut(path, fileName, size);
        t_lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
        return size;
    }
    return CopyOut(path, fileName, size);
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    char buf[4096];
    if (!getcwd(buf, sizeof(buf))) return 0;
    size_t len = strlen(buf);
    if (len + 1 > size) return (DWORD)(len + 1);
    memcpy(buffer, buf, len + 1);
    return (DWORD)len;
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    return chdir(path) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (mkdir(path, 0777) == 0) return TRUE;
    t_lastError = errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
    return FALSE;
}

void GetLocalTime(LPSYSTEMTIME time) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    time->wYear = (WORD)(local.tm_year + 1900);
    time->wMonth = (WORD)(local.tm_mon + 1);
    time->wDayOfWeek = (WORD)local.tm_wday;
    time->wDay = (WORD)local.tm_mday;
    time->wHour = (WORD)local.tm_hour;
    time->wMinute = (WORD)local.tm_min;
    time->wSecond = (WORD)local.tm_sec;
    time->wMilliseconds = (WORD)(ts.tv_nsec / 1000000);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR name) {
    NamedMutex* mutex = new NamedMutex(name ? name : "");
    std::lock_guard<std::mutex> guard(g_namesLock);
    int& opened = g_openNames[mutex->name];
    t_lastError = (opened > 0 && name) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    ++opened;
    return static_cast<KernelObject*>(mutex);
}

// Ownership is not tracked: the server never waits on its mutex, it only
// holds the name, so release reports "not owned" as Windows would.
BOOL ReleaseMutex(HANDLE mutex) {
    if (!mutex) return FALSE;
    t_lastError = 288;  // ERROR_NOT_OWNER
    return FALSE;
}

BOOL CloseHandle(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return FALSE;
    delete static_cast<KernelObject*>(handle);
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return static_cast<KernelObject*>(new Event(manualReset != FALSE, initialState != FALSE));
}

namespace {

Event* AsEvent(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<Event*>(static_cast<KernelObject*>(handle));
}

BOOL Signal(HANDLE handle, bool signalled) {
    Event* event = AsEvent(handle);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> guard(event->lock);
        event->signalled = signalled;
    }
    if (signalled) event->changed.notify_all();
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) {
    return Signal(event, true);
}

BOOL ResetEvent(HANDLE event) {
    return Signal(event, false);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Event* event = AsEvent(handle);
    if (!event) return WAIT_FAILED;
    std::unique_lock<std::mutex> guard(event->lock);
    auto isSignalled = [event] { return event->signalled; };
    if (milliseconds == INFINITE) {
        event->changed.wait(guard, isSignalled);
    } else if (!event->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
}
