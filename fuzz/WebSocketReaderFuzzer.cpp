// Server frames through the WebSocket reader, message after message, with
// the pongs and close replies it writes taken apart by the test codec.
// input := options frames
//   options bits 0-1: how the script ends: the peer closes (0, 3), the time
//                     runs out (1), the connection fails (2)
//           bit 2:    writes fail
//           bits 3-6: the buffer size, from kSizes
#include <string>
#include <vector>

#include "FrameCodec.h"
#include "FuzzSupport.h"
#include "WebSocketReader.h"
#include "support/ScriptedStream.h"

namespace {

const int kSizes[] = {1, 2, 3, 8, 16, 64, 125, 126, 127, 128, 200, 256, 1000, 4096, 65535, 65536};
const int kMaxMessages = 16;
const int kOpClose = 0x8;
const int kOpPing = 0x9;
const int kOpPong = 0xA;

// The whole frames in bytes, in order; a frame cut short is left out.
std::vector<WebSocketFrame> WholeFrames(const std::string& bytes, bool* allWhole) {
    size_t position = 0;
    FrameByteSource source = [&](size_t count, std::string* out) {
        if (count > bytes.size() - position) return false;
        *out = bytes.substr(position, count);
        position += count;
        return true;
    };
    std::vector<WebSocketFrame> frames;
    WebSocketFrame frame;
    size_t start = 0;
    while (start < bytes.size() && ReadFrame(source, &frame)) {
        frames.push_back(frame);
        start = position;
    }
    *allWhole = start == bytes.size();
    return frames;
}

// RFC 6455 5.5: a ping the client took whole is answered with its payload.
bool Answerable(const WebSocketFrame& frame) {
    return frame.opcode == kOpPing && frame.fin && !frame.masked && frame.payload.size() <= 125;
}

void CheckReplies(const std::vector<WebSocketFrame>& taken,
                  const std::string& written,
                  CWebSocketReader::Result result) {
    bool whole = false;
    std::vector<WebSocketFrame> replies = WholeFrames(written, &whole);
    FUZZ_CHECK(whole);
    std::vector<std::string> pongs;
    for (size_t i = 0; i < replies.size(); ++i) {
        const WebSocketFrame& reply = replies[i];
        FUZZ_CHECK(reply.fin && reply.masked && reply.payload.size() <= 125);
        FUZZ_CHECK(reply.opcode == kOpPong || (reply.opcode == kOpClose && i + 1 == replies.size()));
        if (reply.opcode == kOpPong) pongs.push_back(reply.payload);
    }
    std::vector<std::string> pings;
    for (const WebSocketFrame& frame : taken) {
        if (Answerable(frame)) pings.push_back(frame.payload);
    }
    FUZZ_CHECK(pongs == pings);
    bool closeReplied = !replies.empty() && replies.back().opcode == kOpClose;
    FUZZ_CHECK(closeReplied == (result == CWebSocketReader::kClosed));
    if (!closeReplied) return;
    // RFC 6455 5.5.1: the reply echoes the status code.
    FUZZ_CHECK(!taken.empty() && taken.back().opcode == kOpClose);
    const std::string& status = taken.back().payload;
    FUZZ_CHECK(replies.back().payload == (status.size() >= 2 ? status.substr(0, 2) : std::string()));
}

void CheckMessage(const std::vector<WebSocketFrame>& taken, bool whole, const OutBuffer& buffer, int length) {
    FUZZ_CHECK(whole && !taken.empty());
    FUZZ_CHECK(length >= 0 && (size_t)length < buffer.size && buffer.get()[length] == '\0');
    std::string expected;
    for (const WebSocketFrame& frame : taken) {
        FUZZ_CHECK(frame.opcode != kOpClose);
        if ((frame.opcode & 0x8) == 0) expected += frame.payload;
    }
    FUZZ_CHECK(std::string(buffer.get(), length) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t options = size > 0 ? data[0] : 0;
    std::string script = size > 0 ? std::string((const char*)data + 1, size - 1) : std::string();
    int ending = options & 3;
    ScriptedStream stream(script, ending != 1);
    if (ending == 2) stream.failAt = (long)script.size();
    stream.writable = (options & 4) == 0;
    int bufferSize = kSizes[(options >> 3) & 15];

    size_t position = 0;
    for (int i = 0; i < kMaxMessages; ++i) {
        size_t writtenBefore = stream.written.size();
        OutBuffer buffer(bufferSize);
        int length = -1;
        CWebSocketReader::Result result = CWebSocketReader::ReadMessage(stream, buffer.get(), bufferSize, &length);
        size_t end = script.size() - stream.Rest().size();
        bool whole = false;
        std::vector<WebSocketFrame> taken = WholeFrames(script.substr(position, end - position), &whole);
        position = end;
        CheckReplies(taken, stream.written.substr(writtenBefore), result);
        if (result != CWebSocketReader::kMessage) break;
        CheckMessage(taken, whole, buffer, length);
    }
    return 0;
}
