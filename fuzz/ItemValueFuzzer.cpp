// A document's value as a cell shows it: looked up, an ISO timestamp
// shifted, UTF-8 turned into the ANSI code page.
// input := time-adjustment-minutes "\n" item-name "\n" document
#include <windows.h>

#include <climits>
#include <cstdio>

#include "FuzzSupport.h"
#include "LookupItemValue.h"
#include "Publishing.h"

namespace {

const size_t kCellSize = 256;  // a published value with its NUL
const size_t kCutSize = 20;    // cuts a formatted date

int ReadAdjustment(const std::string& text) {
    long long minutes = strtoll(text.c_str(), nullptr, 10);
    return minutes < INT_MIN ? INT_MIN : minutes > INT_MAX ? INT_MAX : (int)minutes;
}

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if ((unsigned char)c >= 0x80) return false;
    }
    return true;
}

// Whatever the bytes, the text stays terminated within its buffer and
// never grows; ASCII passes unchanged.
void CheckConversion(const std::string& bytes) {
    HeapText source(bytes);
    OutBuffer text(source.length + 1);
    memcpy(text.get(), source.get(), source.length + 1);
    Utf8ToAnsi(text.get(), text.size);
    FUZZ_CHECK(text.Terminated());
    FUZZ_CHECK(text.Text().size() <= source.length);
    if (IsAscii(source.get())) FUZZ_CHECK(text.Text() == source.get());
    // No room at all: nothing to convert, nothing to write.
    OutBuffer none(0);
    Utf8ToAnsi(none.get(), 0);
}

// A shift taken back gives the time the calendar made of the original.
// False when the value is no timestamp the calendar can shift.
bool CheckShift(const std::string& raw, int adjustment, const std::string& shown, size_t valueSize) {
    SYSTEMTIME parsed;
    memset(&parsed, 0x7F, sizeof(parsed));
    const SYSTEMTIME unset = parsed;
    SYSTEMTIME shifted;
    if (!ParseIsoTime(&parsed, raw.c_str())) {
        FUZZ_CHECK(memcmp(&parsed, &unset, sizeof(parsed)) == 0);
        return false;
    }
    int64_t seconds = (int64_t)adjustment * 60;
    if (!AddSeconds(parsed, seconds, &shifted)) return false;
    SYSTEMTIME normalised;
    SYSTEMTIME back;
    FUZZ_CHECK(AddSeconds(parsed, 0, &normalised));
    FUZZ_CHECK(AddSeconds(shifted, -seconds, &back));
    FUZZ_CHECK(SameTime(back, normalised));
    char formatted[kCellSize];
    FormatDateTime(formatted, valueSize < sizeof(formatted) ? valueSize : sizeof(formatted), shifted);
    FUZZ_CHECK(shown == formatted);
    return true;
}

void CheckValue(const HeapText& item, const HeapText& document, int adjustment, size_t valueSize) {
    OutBuffer value(valueSize);
    MakeItemValue(value.get(), valueSize, item.get(), document.get(), adjustment);
    if (valueSize == 0) {
        FUZZ_CHECK(value.Untouched());
        return;
    }
    FUZZ_CHECK(value.Terminated());
    OutBuffer raw(valueSize);
    if (!LookupItemValue(raw.get(), valueSize, item.get(), document.get())) {
        FUZZ_CHECK(value.Text() == std::string("-").substr(0, valueSize - 1));
        return;
    }
    bool shifted = CheckShift(raw.Text(), adjustment, value.Text(), valueSize);
    if (!shifted && IsAscii(raw.Text())) FUZZ_CHECK(value.Text() == raw.Text());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> fields = SplitFields(data, size, 3);
    int adjustment = ReadAdjustment(fields[0]);
    HeapText item(fields[1]);
    HeapText document(fields[2]);
    CheckValue(item, document, adjustment, kCellSize);
    CheckValue(item, document, adjustment, kCutSize);
    CheckValue(item, document, adjustment, 0);
    CheckConversion(fields[2]);
    return 0;
}
