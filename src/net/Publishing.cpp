#include "Publishing.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "AppMessages.h"
#include "CThread.h"
#include "LookupItemValue.h"

namespace {

// 3000-12-31 23:59:59 UTC, the last second the Windows runtime promises to
// convert; held here too so that every runtime gives the same answer.
const int64_t kLastTime = 32535215999;

// What a linked cell shows while its item is missing from the document.
const char kMissingValue[] = "-";

// YYYY-MM-DDThh:mm:ss.fff: the separators and where they stand.
struct Separator {
    size_t position;
    char character;
};
const Separator kIsoSeparators[] = {{4, '-'}, {7, '-'}, {10, 'T'}, {13, ':'}, {16, ':'}, {19, '.'}};
const size_t kFractionStart = 20;
const size_t kFractionDigits = 3;

// Reads count characters as decimal digits, in 16-bit arithmetic: a
// character that is not a digit counts for its code minus '0'.
WORD ReadNumber(const char* text, size_t count) {
    WORD value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (WORD)(value * 10 + (WORD)(text[i] - '0'));
    return value;
}

// The fraction may be shorter than three digits, or end the text early:
// digits that are not there count as 0, so ".5" is 500 ms and nothing past
// the NUL is read.
WORD ReadMilliseconds(const char* fraction) {
    WORD value = 0;
    bool ended = false;
    for (size_t i = 0; i < kFractionDigits; ++i) {
        ended = ended || fraction[i] == '\0';
        value = (WORD)(value * 10 + (ended ? 0 : (WORD)(fraction[i] - '0')));
    }
    return value;
}

}  // namespace

bool ParseIsoTime(SYSTEMTIME* out, const char* text) {
    if (strnlen(text, kFractionStart) < kFractionStart) return false;
    for (const Separator& separator : kIsoSeparators) {
        if (text[separator.position] != separator.character) return false;
    }
    SYSTEMTIME parsed = {};
    parsed.wYear = ReadNumber(text, 4);
    parsed.wMonth = ReadNumber(text + 5, 2);
    parsed.wDay = ReadNumber(text + 8, 2);
    parsed.wHour = ReadNumber(text + 11, 2);
    parsed.wMinute = ReadNumber(text + 14, 2);
    parsed.wSecond = ReadNumber(text + 17, 2);
    parsed.wMilliseconds = ReadMilliseconds(text + kFractionStart);
    *out = parsed;
    return true;
}

bool AddSeconds(const SYSTEMTIME& time, int64_t seconds, SYSTEMTIME* out) {
    struct tm fields = {};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    time_t start = _mkgmtime(&fields);
    if (start == -1) return false;
    int64_t end = (int64_t)start + seconds;
    if (end < 0 || end > kLastTime) return false;
    time_t shifted = (time_t)end;
    struct tm result = {};
    if (gmtime_s(&result, &shifted) != 0) return false;
    SYSTEMTIME moved = {};
    moved.wYear = (WORD)(result.tm_year + 1900);
    moved.wMonth = (WORD)(result.tm_mon + 1);
    moved.wDay = (WORD)result.tm_mday;
    moved.wHour = (WORD)result.tm_hour;
    moved.wMinute = (WORD)result.tm_min;
    moved.wSecond = (WORD)result.tm_sec;
    moved.wMilliseconds = time.wMilliseconds;
    *out = moved;
    return true;
}

void FormatDateTime(char* out, size_t outSize, const SYSTEMTIME& time) {
    snprintf(out, outSize, "%u/%u/%u  %u:%u:%u.%u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
             time.wSecond, time.wMilliseconds);
}

void Utf8ToAnsi(char* text, size_t size) {
    // A buffer of no bytes holds no text; converting it would read and
    // write past it.
    if (size == 0) return;
    // Each UTF-8 byte gives at most one UTF-16 unit, and each unit at most
    // two ANSI bytes for no more UTF-8 bytes than it came from, so a text
    // that fits its buffer fits both steps.
    std::unique_ptr<WCHAR[]> wide(new WCHAR[size]);
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.get(), (int)size) == 0) return;
    std::unique_ptr<char[]> converted(new char[size]);
    int length = WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, converted.get(), (int)size, nullptr, nullptr);
    if (length == 0) return;
    memcpy(text, converted.get(), length);
}

void MakeItemValue(char* value, size_t valueSize, const char* itemName, const char* document, int timeAdjustMin) {
    if (valueSize == 0) return;
    value[0] = '\0';
    if (!LookupItemValue(value, valueSize, itemName, document)) {
        snprintf(value, valueSize, "%s", kMissingValue);
        return;
    }
    SYSTEMTIME parsed;
    SYSTEMTIME shifted;
    // A timestamp the calendar cannot shift is shown as it came.
    if (ParseIsoTime(&parsed, value) && AddSeconds(parsed, (int64_t)timeAdjustMin * 60, &shifted)) {
        FormatDateTime(value, valueSize, shifted);
    }
    Utf8ToAnsi(value, valueSize);
}

int PublishDocument(CThread& worker, const char* document) {
    const std::string topic = worker.GetTopic();
    std::vector<CItemValue> values;
    CItemValue value;
    value.topic = topic;
    for (size_t index = 0; worker.CopyItem(index, &value.item); ++index) {
        MakeItemValue(value.value, sizeof(value.value), value.item.c_str(), document, worker.timeAdjustMin);
        values.push_back(value);
    }
    worker.mailbox->Put(worker.notifyWindow, values);
    return (int)values.size();
}
