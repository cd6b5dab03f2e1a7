#include <windows.h>

#include "CLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <share.h>
#else
#include <sys/file.h>
#endif

namespace {

#ifdef _WIN32
const char kPathSeparator[] = "\\";
#else
const char kPathSeparator[] = "/";
#endif

const size_t kMessageSize = 512;
const size_t kPathSize = MAX_PATH;

// Each entry opens the file without sharing. Two threads of ours writing at
// the same moment would make one open fail and lose its entry, so entries of
// this process queue here; only another program holding the file drops them.
// A critical section, the system's own lock: the exe was seen to freeze,
// log and all, right after every worker logged at once, and the mingw
// thread library's mutex that stood here is the lock they all share there.
// Made before main and never deleted, as threads may log until the end.
struct WriteLock {
    WriteLock() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
};
WriteLock g_writeLock;

// The open is exclusive: on Windows no other open of the file succeeds while
// we hold it; elsewhere an advisory lock stands in for the share mode.
FILE* OpenExclusive(const char* path) {
#ifdef _WIN32
    return _fsopen(path, "ab", _SH_DENYRW);
#else
    FILE* file = fopen(path, "ab");
    if (file && flock(fileno(file), LOCK_EX | LOCK_NB) != 0) {
        fclose(file);
        return nullptr;
    }
    return file;
#endif
}

}  // namespace

bool CLog::Write(const char* format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);

    EnterCriticalSection(&g_writeLock.section);
    char folder[kPathSize] = {};
    MakeDayFolder(folder, "log");
    bool written = AppendEntry(folder, "vornlog", message, ".log");
    LeaveCriticalSection(&g_writeLock.section);
    return written;
}

bool CLog::MakeDayFolder(char* path, const char* folderName) {
    GetCurrentDirectoryA(kPathSize, path);
    size_t used = strlen(path);
    snprintf(path + used, kPathSize - used, "%s%s", kPathSeparator, folderName);
    CreateDirectoryA(path, nullptr);

    SYSTEMTIME now;
    GetLocalTime(&now);
    used = strlen(path);
    snprintf(path + used, kPathSize - used, "%s%04d%02d%02d", kPathSeparator, now.wYear, now.wMonth, now.wDay);
    CreateDirectoryA(path, nullptr);
    return true;
}

bool CLog::AppendEntry(const char* folder, const char* stem, const char* message, const char* extension) {
    char path[kPathSize];
    snprintf(path, sizeof(path), "%s%s%s%s", folder, kPathSeparator, stem, extension);
    FILE* file = OpenExclusive(path);
    if (!file) return false;

    SYSTEMTIME now;
    GetLocalTime(&now);
    char prefix[256];
    int prefixLength = snprintf(prefix, sizeof(prefix), "%04d/%02d/%02d %02d:%02d:%02d.%03d,", now.wYear, now.wMonth,
                                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    fwrite(prefix, 1, (size_t)prefixLength, file);
    fwrite(message, 1, strlen(message), file);
    fclose(file);
    return true;
}
