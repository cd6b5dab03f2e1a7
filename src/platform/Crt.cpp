#include <windows.h>

#include <errno.h>

namespace {

// 3000-12-31 23:59:59 UTC, the last second the runtime converts.
const time_t kLastTime = 32535215999;

bool InRange(time_t time) {
    return time >= 0 && time <= kLastTime;
}

}  // namespace

time_t _mkgmtime(struct tm* time) {
    struct tm normalised = *time;
    time_t seconds = timegm(&normalised);
    if (!InRange(seconds)) return -1;
    *time = normalised;
    return seconds;
}

int gmtime_s(struct tm* out, const time_t* time) {
    if (!out || !time || !InRange(*time)) return EINVAL;
    return gmtime_r(time, out) ? 0 : EINVAL;
}
