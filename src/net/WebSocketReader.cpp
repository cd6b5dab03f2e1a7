#include "WebSocketReader.h"

#include <openssl/rand.h>

#include <cstring>

#include "CByteStream.h"

namespace {

const int kOpContinuation = 0x0;
const int kOpClose = 0x8;
const int kOpPing = 0x9;
const int kOpPong = 0xA;

bool IsControl(int opcode) {
    return (opcode & 0x8) != 0;
}

}  // namespace

// frame := byte0 (FIN, RSV1-3, opcode) byte1 (MASK, len7)
//          [len16 | len64, network order] [mask key] payload
// len7 126 announces a 16-bit length, 127 a 64-bit one.
CWebSocketReader::Result CWebSocketReader::ReadFrameHeader(CByteStream& stream, Frame* frame) {
    unsigned char header[2];
    if (stream.Read((char*)header, 2) != 2) return kEnded;
    // RFC 6455 5.1: a client must close the connection on a masked server frame.
    if (header[1] & 0x80) return kRefused;
    frame->fin = (header[0] & 0x80) != 0;
    frame->opcode = header[0] & 0x0F;
    frame->length = header[1] & 0x7F;
    int extra = frame->length == 126 ? 2 : frame->length == 127 ? 8 : 0;
    if (extra == 0) return kMessage;
    unsigned char length[8];
    if (stream.Read((char*)length, extra) != extra) return kEnded;
    frame->length = 0;
    for (int i = 0; i < extra; ++i)
        frame->length = (frame->length << 8) | length[i];
    return kMessage;
}

CWebSocketReader::Result CWebSocketReader::ReadPayload(CByteStream& stream, char* buffer, unsigned long long length) {
    return stream.Read(buffer, (int)length) == (int)length ? kMessage : kEnded;
}

CWebSocketReader::Result CWebSocketReader::ReadMessage(CByteStream& stream, char* buffer, int size, int* lengthOut) {
    long long length = 0;
    bool started = false;
    for (;;) {
        Frame frame;
        Result result = ReadFrameHeader(stream, &frame);
        if (result != kMessage) return result;
        if (IsControl(frame.opcode)) {
            result = HandleControl(stream, frame);
            if (result != kMessage) return result;
            continue;
        }
        // RFC 6455 5.4: a message starts with a data frame and goes on with
        // continuations only.
        if (started != (frame.opcode == kOpContinuation)) return kRefused;
        started = true;
        if (frame.length >= (unsigned long long)size || length + (long long)frame.length + 1 > size) return kRefused;
        result = ReadPayload(stream, buffer + length, frame.length);
        if (result != kMessage) return result;
        length += (long long)frame.length;
        if (frame.fin) break;
    }
    buffer[length] = '\0';
    *lengthOut = (int)length;
    return kMessage;
}

// RFC 6455 5.5: control frames are never fragmented and carry at most 125
// bytes; they may come between the frames of a message.
CWebSocketReader::Result CWebSocketReader::HandleControl(CByteStream& stream, const Frame& frame) {
    if (!frame.fin || frame.length > kMaxControlPayload) return kRefused;
    unsigned char payload[kMaxControlPayload];
    if (ReadPayload(stream, (char*)payload, frame.length) != kMessage) return kEnded;
    if (frame.opcode == kOpPing) {
        return SendControl(stream, kOpPong, payload, (int)frame.length) ? kMessage : kEnded;
    }
    if (frame.opcode == kOpClose) {
        // Echo the status code (its first two bytes), as RFC 6455 5.5.1 asks.
        SendControl(stream, kOpClose, payload, frame.length >= 2 ? 2 : 0);
        return kClosed;
    }
    // A pong answers nothing we sent; other control opcodes are reserved.
    return kMessage;
}

// RFC 6455 5.3: every frame a client sends is masked with a fresh key.
bool CWebSocketReader::SendControl(CByteStream& stream, int opcode, const unsigned char* payload, int length) {
    unsigned char frame[2 + 4 + kMaxControlPayload];
    frame[0] = (unsigned char)(0x80 | opcode);
    frame[1] = (unsigned char)(0x80 | length);
    unsigned char* key = frame + 2;
    if (RAND_bytes(key, 4) != 1) return false;
    for (int i = 0; i < length; ++i)
        frame[6 + i] = payload[i] ^ key[i % 4];
    return stream.Write((const char*)frame, 6 + length);
}
