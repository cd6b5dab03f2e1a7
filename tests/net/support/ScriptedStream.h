#pragma once

#include <string>
#include <vector>

#include "CByteStream.h"

// Hand-made bytes for the HTTP and WebSocket readers. Reads hand out the
// script in order; once it is used up the stream either has ended (the
// peer closed) or has gone quiet (a read comes back short, as when the
// time runs out). Everything written is kept.
class ScriptedStream : public CByteStream {
public:
    explicit ScriptedStream(const std::string& script, bool endsAfter = true) : script(script), endsAfter(endsAfter) {}

    int Read(char* buffer, int count) override {
        if (failAt >= 0 && position + count > (size_t)failAt) return -1;
        int n = 0;
        while (n < count && position < script.size())
            buffer[n++] = script[position++];
        if (n < count && endsAfter) ended = true;
        ++reads;
        return n;
    }
    bool Ended() const override { return ended; }
    bool Write(const char* data, int count) override {
        written.append(data, count);
        return writable;
    }

    // What the reader has not taken.
    std::string Rest() const { return script.substr(position); }

    std::string written;
    bool writable = true;
    long failAt = -1;  // a read that reaches this offset fails
    int reads = 0;

private:
    std::string script;
    size_t position = 0;
    bool endsAfter;
    bool ended = false;
};
