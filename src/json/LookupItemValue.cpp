#include "LookupItemValue.h"

#include <cstring>

namespace {

const int kMaxSegments = 8;
const size_t kSlotSize = 256;   // a quoted segment: up to 253 characters, quotes, NUL
const size_t kScanLimit = 256;  // characters examined for the opener, and for the value
const char kQuotedUnderscore[] = "\"_\"";

enum class SegmentKind { Index, AnonymousArray, Key };

struct Segment {
    char quoted[kSlotSize];  // the segment between double quotes
};

// An index segment is all digits once its double quotes are ignored; the empty
// segment is index 0.
bool IsIndex(const char* quoted, int* valueOut) {
    int value = 0;
    for (const char* p = quoted + 1; p[1] != '\0'; ++p) {
        if (*p == '"') continue;
        if (*p < '0' || *p > '9') return false;
        // A number past any document's length selects nothing; saturate
        // rather than overflow.
        if (value < 100000000) value = value * 10 + (*p - '0');
    }
    *valueOut = value;
    return true;
}

SegmentKind Classify(const Segment& segment, int* indexOut) {
    if (IsIndex(segment.quoted, indexOut)) return SegmentKind::Index;
    if (strcmp(segment.quoted, kQuotedUnderscore) == 0) return SegmentKind::AnonymousArray;
    return SegmentKind::Key;
}

// Splits the name at "." into quoted segments: a trailing "." adds none, an
// empty name gives one empty segment. A segment too long for its slot is cut.
int SplitItemName(const char* itemName, Segment* segments) {
    size_t length = strlen(itemName);
    size_t consumed = 0;
    int count = 0;
    const char* p = itemName;
    while (count < kMaxSegments) {
        Segment& segment = segments[count++];
        size_t n = 0;
        segment.quoted[n++] = '"';
        while (*p != '\0' && *p != '.') {
            if (n < kSlotSize - 2) segment.quoted[n++] = *p;
            ++p;
            ++consumed;
        }
        segment.quoted[n++] = '"';
        segment.quoted[n] = '\0';
        if (*p == '.') {
            ++p;
            ++consumed;
        }
        if (consumed >= length) break;
    }
    return count;
}

// Index n after the anonymous array: step into the n-th inner array, bounded by
// the "]]" that closes the outer one.
const char* StepIntoInnerArray(const char* position, int n) {
    const char* limit = strstr(position, "]]");
    if (!limit) return nullptr;
    for (int i = 0; i <= n; ++i) {
        const char* bracket = strchr(position, '[');
        if (!bracket) return nullptr;
        position = bracket + 1;
        if (position > limit) return nullptr;
    }
    return position;
}

// Index n after a key: pass n + 1 occurrences of that key, counting the one the
// key segment stands on, before the "]" that ends the enclosing array.
const char* StepPastKey(const char* position, const char* previousKey, int n) {
    const char* limit = strchr(position, ']');
    if (!limit) return nullptr;
    size_t keyLength = strlen(previousKey);
    // An empty key occurs everywhere: the steps would not move, so take one.
    if (keyLength == 0) n = 0;
    for (int i = 0; i <= n; ++i) {
        const char* found = strstr(position, previousKey);
        if (!found) return nullptr;
        position = found + keyLength;
        if (position > limit) return nullptr;
    }
    return position;
}

// The value begins after the first ":" (a member) or "[" (an array's contents)
// within the next 256 characters. Quotes are dropped; "[", "]", "}" end it, and
// so does "," for a member. At most 256 characters of the value are examined.
bool ExtractValue(char* out, size_t outSize, const char* position) {
    size_t i = 0;
    while (i < kScanLimit && position[i] != '\0' && position[i] != ':' && position[i] != '[')
        ++i;
    if (position[i] == '\0') return false;
    bool arrayMode = i < kScanLimit && position[i] == '[';
    const char* value = position + i + 1;

    size_t written = 0;
    for (size_t k = 0; k < kScanLimit; ++k) {
        char c = value[k];
        if (c == '\0' || c == '[' || c == ']' || c == '}') break;
        if (c == ',' && !arrayMode) break;
        if (c == '"') continue;
        if (written + 1 < outSize) out[written++] = c;
    }
    out[written] = '\0';
    return true;
}

}  // namespace

bool LookupItemValue(char* out, size_t outSize, const char* itemName, const char* document) {
    if (!out || outSize == 0 || !itemName || !document) return false;
    Segment segments[kMaxSegments];
    int segmentCount = SplitItemName(itemName, segments);

    const char* position = document;
    char previousKey[kSlotSize] = "";
    for (int s = 0; s < segmentCount; ++s) {
        int index = 0;
        switch (Classify(segments[s], &index)) {
            case SegmentKind::Key:
                position = strstr(position, segments[s].quoted);
                strcpy(previousKey, segments[s].quoted);
                break;
            case SegmentKind::AnonymousArray:
                position = strchr(position, '[');
                strcpy(previousKey, kQuotedUnderscore);
                break;
            case SegmentKind::Index:
                position = strcmp(previousKey, kQuotedUnderscore) == 0 ? StepIntoInnerArray(position, index)
                                                                       : StepPastKey(position, previousKey, index);
                break;
        }
        if (!position) return false;
    }
    return ExtractValue(out, outSize, position);
}
