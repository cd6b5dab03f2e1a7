#include "WebSocketFrame.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

// RFC 6455 1.3: the key is joined with this fixed GUID before hashing.
static const char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

static void AppendBigEndian(std::string& out, uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::string EncodeWsFrame(int opcode, bool fin, const std::string& payload, const uint8_t* mask, bool force64) {
    std::string frame;
    frame.push_back(static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0F)));
    const uint8_t maskBit = mask ? 0x80 : 0x00;
    const uint64_t length = payload.size();
    if (force64 || length > 0xFFFF) {
        frame.push_back(static_cast<char>(maskBit | 127));
        AppendBigEndian(frame, length, 8);
    } else if (length >= 126) {
        frame.push_back(static_cast<char>(maskBit | 126));
        AppendBigEndian(frame, length, 2);
    } else {
        frame.push_back(static_cast<char>(maskBit | length));
    }
    if (!mask) return frame + payload;
    frame.append(reinterpret_cast<const char*>(mask), 4);
    std::string masked = payload;
    ApplyWsMask(masked, mask);
    return frame + masked;
}

int ParseWsFrameHeader(const uint8_t* data, size_t size, WsFrameHeader& headerOut) {
    if (size < 2) return 0;
    WsFrameHeader header;
    header.fin = (data[0] & 0x80) != 0;
    header.opcode = data[0] & 0x0F;
    header.masked = (data[1] & 0x80) != 0;
    const int length7 = data[1] & 0x7F;
    const size_t lengthBytes = length7 == 127 ? 8 : length7 == 126 ? 2 : 0;
    header.headerSize = 2 + lengthBytes + (header.masked ? 4 : 0);
    if (size < header.headerSize) return 0;
    header.length = lengthBytes ? 0 : length7;
    for (size_t i = 0; i < lengthBytes; i++)
        header.length = (header.length << 8) | data[2 + i];
    // RFC 6455 5.2: the most significant bit of a 64-bit length must be 0.
    if (lengthBytes == 8 && (data[2] & 0x80)) return -1;
    for (int i = 0; header.masked && i < 4; i++)
        header.mask[i] = data[2 + lengthBytes + i];
    headerOut = header;
    return static_cast<int>(header.headerSize);
}

void ApplyWsMask(std::string& text, const uint8_t mask[4]) {
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<char>(text[i] ^ mask[i % 4]);
}

std::string WebSocketAccept(const std::string& key) {
    const std::string joined = key + kWsGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<const char*>(encoded), length);
}
