#include <windows.h>

#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[*at]. Overlong forms, surrogates and
// values past U+10FFFF are invalid, as Windows treats them; an invalid lead
// byte or a broken sequence consumes one byte.
bool DecodeUtf8(const unsigned char* text, size_t length, size_t* at, char32_t* codePoint) {
    unsigned char lead = text[*at];
    int extra = lead < 0x80 ? 0 : lead < 0xC2 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : -1;
    if (extra < 0 || *at + extra >= length) {
        ++*at;
        return false;
    }
    char32_t value = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        unsigned char next = text[*at + i];
        if ((next & 0xC0) != 0x80) {
            ++*at;
            return false;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*at;
        return false;
    }
    *at += extra + 1;
    *codePoint = value;
    return true;
}

void AppendUtf16(std::vector<WCHAR>* units, char32_t codePoint) {
    if (codePoint < 0x10000) {
        units->push_back((WCHAR)codePoint);
        return;
    }
    codePoint -= 0x10000;
    units->push_back((WCHAR)(0xD800 + (codePoint >> 10)));
    units->push_back((WCHAR)(0xDC00 + (codePoint & 0x3FF)));
}

// Writes the result the way both conversions hand it out: the size needed
// when size is 0, otherwise the elements, or ERROR_INSUFFICIENT_BUFFER.
template <typename T>
int CopyResult(const std::vector<T>& result, T* out, int size) {
    if (size == 0) return (int)result.size();
    if ((size_t)size < result.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, result.data(), result.size() * sizeof(T));
    return (int)result.size();
}

size_t CountOf(const char* text, int count) {
    return count < 0 ? strlen(text) + 1 : (size_t)count;
}

size_t CountOf(const WCHAR* wide, int count) {
    if (count >= 0) return (size_t)count;
    size_t n = 0;
    while (wide[n] != 0)
        ++n;
    return n + 1;
}

// One code point in CP932; false when the code page has no character for it.
bool EncodeCp932(iconv_t converter, char32_t codePoint, std::string* out) {
    if (codePoint < 0x80) {
        out->push_back((char)codePoint);
        return true;
    }
    char in[4];
    memcpy(in, &codePoint, sizeof(in));  // UTF-32 in host order, little-endian here
    char encoded[8];
    char* inPointer = in;
    char* outPointer = encoded;
    size_t inLeft = sizeof(in);
    size_t outLeft = sizeof(encoded);
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    if (iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) == (size_t)-1) return false;
    out->append(encoded, outPointer - encoded);
    return true;
}

}  // namespace

UINT GetACP() {
    return 932;
}

BOOL IsDBCSLeadByte(BYTE c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR wide, int wideSize) {
    if (codePage != CP_UTF8 || !text || count == 0 || count < -1 || wideSize < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char* bytes = (const unsigned char*)text;
    size_t length = CountOf(text, count);
    std::vector<WCHAR> units;
    for (size_t at = 0; at < length;) {
        char32_t codePoint = kReplacement;
        if (!DecodeUtf8(bytes, length, &at, &codePoint) && (flags & MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        AppendUtf16(&units, codePoint);
    }
    return CopyResult(units, wide, wideSize);
}

int WideCharToMultiByte(UINT codePage,
                        DWORD /*flags*/,
                        LPCWSTR wide,
                        int count,
                        LPSTR text,
                        int textSize,
                        LPCSTR defaultChar,
                        BOOL* usedDefault) {
    if ((codePage != CP_ACP && codePage != 932) || !wide || count == 0 || count < -1 || textSize < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    iconv_t converter = iconv_open("CP932", "UTF-32LE");
    if (converter == (iconv_t)-1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = CountOf(wide, count);
    std::string encoded;
    bool replaced = false;
    for (size_t at = 0; at < length;) {
        // Unit by unit, as Windows converts to a double-byte code page: each
        // half of a surrogate pair becomes a default character of its own.
        char32_t unit = (char32_t)wide[at++] & 0xFFFF;
        bool lone = unit >= 0xD800 && unit <= 0xDFFF;
        if (!lone && EncodeCp932(converter, unit, &encoded)) continue;
        encoded.push_back(defaultChar ? *defaultChar : '?');
        replaced = true;
    }
    iconv_close(converter);
    if (usedDefault) *usedDefault = replaced ? TRUE : FALSE;
    std::vector<char> result(encoded.begin(), encoded.end());
    return CopyResult(result, text, textSize);
}
