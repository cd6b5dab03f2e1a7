#pragma once

// WebSocket frames (RFC 6455 5.2) as tests write and read them: unmasked
// frames as a server sends them, masked ones as a client sends them, and a
// reader for either, over whatever hands out the bytes.
#include <cstddef>
#include <functional>
#include <string>

struct WebSocketFrame {
    bool fin = false;
    int opcode = 0;
    bool masked = false;
    int lengthForm = 0;   // 7, 16 or 64: which length field the frame used
    std::string payload;  // unmasked
};

// A frame as a server sends it: FIN and opcode in the first byte, then the
// shortest length form unless lengthBytes asks for 2 (16-bit) or 8 (64-bit).
std::string ServerFrame(int finAndOpcode, const std::string& payload, int lengthBytes = 0);

// A frame as a client sends it: the same with the mask bit set, the
// four-byte key after the length, and the payload masked with the key.
std::string MaskedFrame(int finAndOpcode, const std::string& payload, const std::string& key = "\x01\x02\x03\x04");

// Hands exactly count more bytes to *bytesOut; false when they did not come.
using FrameByteSource = std::function<bool(size_t count, std::string* bytesOut)>;

// Reads one frame from source, unmasking a masked payload; false when the
// bytes ran out or the payload would be larger than 64 MiB.
bool ReadFrame(const FrameByteSource& source, WebSocketFrame* frameOut);

// Takes bytes apart as exactly one frame: false when they hold less, or more.
bool ParseFrame(const std::string& bytes, WebSocketFrame* frameOut);
