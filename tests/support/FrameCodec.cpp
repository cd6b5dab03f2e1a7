#include "FrameCodec.h"

#include <cstdint>

namespace {

const uint64_t kLargestPayload = 64u << 20;

// The frame's header up to the key: FIN and opcode, then the shortest length
// form unless lengthBytes asks for 2 or 8; maskBit for a client's frame.
std::string Header(int finAndOpcode, size_t length, int lengthBytes, int maskBit) {
    std::string header(1, (char)finAndOpcode);
    if (lengthBytes == 0) lengthBytes = length < 126 ? 0 : length < 65536 ? 2 : 8;
    header += (char)(maskBit | (lengthBytes == 0 ? length : lengthBytes == 2 ? 126 : 127));
    for (int i = lengthBytes - 1; i >= 0; --i)
        header += (char)((length >> (8 * i)) & 0xFF);
    return header;
}

std::string Mask(const std::string& text, const std::string& key) {
    std::string masked = text;
    for (size_t i = 0; i < masked.size(); ++i)
        masked[i] = (char)(masked[i] ^ key[i % 4]);
    return masked;
}

}  // namespace

std::string ServerFrame(int finAndOpcode, const std::string& payload, int lengthBytes) {
    return Header(finAndOpcode, payload.size(), lengthBytes, 0) + payload;
}

std::string MaskedFrame(int finAndOpcode, const std::string& payload, const std::string& key) {
    return Header(finAndOpcode, payload.size(), 0, 0x80) + key.substr(0, 4) + Mask(payload, key);
}

bool ReadFrame(const FrameByteSource& source, WebSocketFrame* frameOut) {
    std::string head;
    if (!source(2, &head)) return false;
    WebSocketFrame frame;
    frame.fin = (head[0] & 0x80) != 0;
    frame.opcode = head[0] & 0x0F;
    frame.masked = (head[1] & 0x80) != 0;
    uint64_t length = head[1] & 0x7F;
    frame.lengthForm = length == 127 ? 64 : length == 126 ? 16 : 7;
    size_t lengthBytes = frame.lengthForm == 64 ? 8 : frame.lengthForm == 16 ? 2 : 0;
    if (lengthBytes) {
        std::string extended;
        if (!source(lengthBytes, &extended)) return false;
        length = 0;
        for (unsigned char byte : extended)
            length = (length << 8) | byte;
    }
    std::string key;
    if (frame.masked && !source(4, &key)) return false;
    if (length > kLargestPayload || !source((size_t)length, &frame.payload)) return false;
    if (frame.masked) frame.payload = Mask(frame.payload, key);
    *frameOut = frame;
    return true;
}

bool ParseFrame(const std::string& bytes, WebSocketFrame* frameOut) {
    size_t position = 0;
    auto source = [&](size_t count, std::string* bytesOut) {
        if (bytes.size() - position < count) return false;
        *bytesOut = bytes.substr(position, count);
        position += count;
        return true;
    };
    return ReadFrame(source, frameOut) && position == bytes.size();
}
