#pragma once

// What the fuzz targets share: inputs split into text fields, heap copies
// of exactly their size (so that AddressSanitizer sees a read one byte past
// the input, or a write one byte past an output), and checks that stop the
// run as a crash does, so that libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : FuzzFailed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void FuzzFailed(const char* what, const char* file, int line) {
    fprintf(stderr, "==invariant== %s (%s:%d)\n", what, file, line);
    abort();
}

// Splits the input at its first count - 1 newlines; missing fields are
// empty, and the last field keeps any further newlines.
inline std::vector<std::string> SplitFields(const uint8_t* data, size_t size, int count) {
    std::vector<std::string> fields;
    std::string rest((const char*)data, size);
    while ((int)fields.size() < count - 1) {
        size_t newline = rest.find('\n');
        fields.push_back(rest.substr(0, newline));
        rest = newline == std::string::npos ? std::string() : rest.substr(newline + 1);
    }
    fields.push_back(rest);
    return fields;
}

// The text up to its first NUL, with a NUL, in a block of exactly that size.
class HeapText {
public:
    explicit HeapText(const std::string& text)
        : length(strnlen(text.c_str(), text.size())), block(new char[length + 1]) {
        memcpy(block.get(), text.data(), length);
        block[length] = '\0';
    }
    const char* get() const { return block.get(); }

    const size_t length;

private:
    std::unique_ptr<char[]> block;
};

// An output buffer of exactly size bytes, filled beforehand so that a
// failure that must leave it alone can be checked.
class OutBuffer {
public:
    static const char kFill = '\x7F';

    explicit OutBuffer(size_t size) : size(size), block(new char[size]) { memset(block.get(), kFill, size); }
    char* get() { return block.get(); }
    const char* get() const { return block.get(); }
    bool Terminated() const { return memchr(block.get(), '\0', size) != nullptr; }
    std::string Text() const { return std::string(block.get(), strnlen(block.get(), size)); }
    bool Untouched() const {
        for (size_t i = 0; i < size; ++i) {
            if (block[i] != kFill) return false;
        }
        return true;
    }

    const size_t size;

private:
    std::unique_ptr<char[]> block;
};
