// The HTTP readers over a scripted stream: a header block alone (as the
// streaming worker reads its upgrade answer), or whole responses one after
// another on one connection (as the REST worker polls).
// input := options script
//   options bits 0-1: how the script ends: the peer closes (0, 3), the time
//                     runs out (1), the connection fails (2)
//           bits 2-5: the buffer size, from kSizes
//           bit 6:    read one header block instead of responses
#include <string>

#include "FuzzSupport.h"
#include "HttpResponse.h"
#include "support/ScriptedStream.h"

namespace {

const int kSizes[] = {1, 2, 3, 5, 17, 32, 64, 100, 128, 200, 256, 300, 512, 1024, 4096, 65536};
const int kMaxResponses = 8;

enum Ending { kCloses, kGoesQuiet, kFails };

struct Script {
    std::string bytes;
    Ending ending;
    int size;
    bool headersOnly;
};

Script ReadOptions(const uint8_t* data, size_t size) {
    uint8_t options = size > 0 ? data[0] : 0;
    Script script;
    script.bytes = size > 0 ? std::string((const char*)data + 1, size - 1) : std::string();
    script.ending = (options & 3) == 1 ? kGoesQuiet : (options & 3) == 2 ? kFails : kCloses;
    script.size = kSizes[(options >> 2) & 15];
    script.headersOnly = (options & 0x40) != 0;
    return script;
}

size_t Taken(const Script& script, const ScriptedStream& stream) {
    return script.bytes.size() - stream.Rest().size();
}

// The length of the first header block at the start of text: up to an
// empty line ended by CRLF or LF, as the readers take it; 0 when none.
size_t FirstBlockEnd(const char* text, size_t length) {
    for (size_t i = 2; i <= length; ++i) {
        if (i >= 4 && memcmp(text + i - 4, "\r\n\r\n", 4) == 0) return i;
        if (memcmp(text + i - 2, "\n\n", 2) == 0) return i;
    }
    return 0;
}

void CheckHeaders(const Script& script, ScriptedStream& stream) {
    OutBuffer buffer(script.size);
    int length = ReadHttpHeaders(stream, buffer.get(), script.size);
    size_t taken = Taken(script, stream);
    const char* sent = script.bytes.data();
    if (length > 0) {
        FUZZ_CHECK(length < script.size && buffer.get()[length] == '\0');
        // Nothing past the block is taken from the stream, nothing in it changed.
        FUZZ_CHECK(taken == (size_t)length);
        FUZZ_CHECK(memcmp(buffer.get(), sent, length) == 0);
        FUZZ_CHECK(FirstBlockEnd(sent, length) == (size_t)length);
    } else if (length == 0) {
        FUZZ_CHECK(script.ending != kFails && taken == script.bytes.size());
    } else {
        FUZZ_CHECK(length == -1);
        bool overflow = taken == (size_t)(script.size > 1 ? script.size - 1 : 0) && FirstBlockEnd(sent, taken) == 0;
        FUZZ_CHECK(overflow || (script.ending == kFails && taken == script.bytes.size()));
    }
}

// The data of a chunked body as the bytes carry it: chunks up to the last,
// then trailer lines up to an empty one. False when the bytes are not
// exactly that.
bool Unchunk(const std::string& bytes, std::string* dataOut) {
    size_t at = 0;
    std::string line;
    auto nextLine = [&] {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) return false;
        line = bytes.substr(at, end + 1 - at);
        at = end + 1;
        return true;
    };
    for (;;) {
        if (!nextLine()) return false;
        long size = strtol(line.c_str(), nullptr, 16);
        if (size == 0) break;
        if (size < 0 || (size_t)size > bytes.size() - at) return false;
        dataOut->append(bytes, at, size);
        at += size;
        if (!nextLine()) return false;
    }
    do {
        if (!nextLine()) return false;
    } while (line[0] != '\r' && line[0] != '\n');
    return at == bytes.size();
}

// Where the answer's header block starts among the bytes taken: after any
// interim responses (1xx but 101).
size_t SkipInterim(const std::string& taken) {
    size_t at = 0;
    for (;;) {
        size_t end = FirstBlockEnd(taken.data() + at, taken.size() - at);
        int status = ParseStatusCode(taken.substr(at, end).c_str());
        if (end == 0 || status < 100 || status > 199 || status == 101) return at;
        at += end;
    }
}

// Returns whether the connection may carry another response.
bool CheckResponse(const Script& script, ScriptedStream& stream) {
    OutBuffer buffer(script.size);
    size_t before = Taken(script, stream);
    HttpResponse response;
    bool read = ReadHttpResponse(stream, buffer.get(), script.size, &response);
    size_t taken = Taken(script, stream) - before;
    // A header block too large for the buffer fails the read like the stream.
    bool overflow = taken >= (size_t)(script.size > 1 ? script.size - 1 : 0);
    FUZZ_CHECK(read || script.ending == kFails || overflow);
    FUZZ_CHECK(response.length >= 0 && response.length < script.size);
    FUZZ_CHECK(buffer.get()[response.length] == '\0');
    FUZZ_CHECK(!response.truncated || response.complete);
    FUZZ_CHECK(!response.reusable || (response.complete && !response.truncated && !stream.Ended()));
    if (!response.complete) return false;

    const char* text = buffer.get();
    size_t headerLength = FirstBlockEnd(text, response.length);
    FUZZ_CHECK(headerLength > 0);
    std::string body(text + headerLength, response.length - headerLength);
    // A cut body ends after a whole value.
    if (response.truncated) FUZZ_CHECK(body.empty() || strchr(",}]", body.back()) != nullptr);
    if (response.truncated) return false;
    char value[64];
    int status = ParseStatusCode(text);
    bool hasBody = (status < 100 || status > 199) && status != 204 && status != 304;
    if (hasBody && FindHeaderValue(value, sizeof(value), "Transfer-Encoding:", text) >= 0 &&
        ContainsNoCase(value, "chunked")) {
        // Stored unchunked, and nothing taken past the last chunk's trailers.
        std::string sent = script.bytes.substr(before, taken);
        size_t start = SkipInterim(sent);
        FUZZ_CHECK(sent.compare(start, headerLength, text, headerLength) == 0);
        std::string data;
        FUZZ_CHECK(Unchunk(sent.substr(start + headerLength), &data));
        FUZZ_CHECK(body == data);
        return response.reusable;
    }
    // Without chunks the response is the bytes as they came, the last ones
    // taken, and a whole body is as long as the server said.
    FUZZ_CHECK(taken >= (size_t)response.length);
    FUZZ_CHECK(memcmp(text, script.bytes.data() + before + taken - response.length, response.length) == 0);
    if (hasBody && FindHeaderValue(value, sizeof(value), "Content-Length:", text) >= 0) {
        FUZZ_CHECK(body.size() == (size_t)strtol(value, nullptr, 10));
    }
    return response.reusable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script = ReadOptions(data, size);
    ScriptedStream stream(script.bytes, script.ending == kCloses);
    if (script.ending == kFails) stream.failAt = (long)script.bytes.size();
    if (script.headersOnly) {
        CheckHeaders(script, stream);
        return 0;
    }
    for (int i = 0; i < kMaxResponses && CheckResponse(script, stream); ++i) {
    }
    return 0;
}
