#pragma once

// One line on stderr per event, whole lines only although sessions run on
// threads of their own: tests and scripts grep this record (requests, cookie
// echoes, pongs, faults played).
void SimLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
