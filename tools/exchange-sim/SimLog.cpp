#include "SimLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

static std::mutex logLock;

void SimLog(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(logLock);
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
}
