// The Microsoft C runtime's UTC calendar conversions, which glibc lacks.
#pragma once

#include <time.h>

// Like the 64-bit Windows versions, both accept only times from 1970-01-01
// 00:00:00 to 3000-12-31 23:59:59 UTC: _mkgmtime normalises the fields of
// time in place and returns -1 outside that range; gmtime_s returns EINVAL
// for a time outside it and fills nothing.
time_t _mkgmtime(struct tm* time);
int gmtime_s(struct tm* out, const time_t* time);
