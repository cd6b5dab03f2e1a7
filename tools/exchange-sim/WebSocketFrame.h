#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// RFC 6455 5.2 frame opcodes.
enum WsOpcode {
    kWsContinuation = 0x0,
    kWsText = 0x1,
    kWsBinary = 0x2,
    kWsClose = 0x8,
    kWsPing = 0x9,
    kWsPong = 0xA,
};

struct WsFrameHeader {
    bool fin = false;
    int opcode = 0;
    bool masked = false;
    uint64_t length = 0;
    uint8_t mask[4] = {0, 0, 0, 0};
    size_t headerSize = 0;
};

// Encodes one frame. The length takes the shortest of the three forms
// (7-bit, 16-bit, 64-bit) unless force64 asks for the 64-bit form, which
// clients must accept even where it is longer than needed. A non-null mask
// sets the mask bit and masks the payload with those four bytes.
std::string EncodeWsFrame(int opcode, bool fin, const std::string& payload, const uint8_t* mask, bool force64);

// Reads a frame header from the start of data. Returns its size when it is
// complete, 0 when more bytes are needed, -1 when it breaks the protocol
// (the top bit of a 64-bit length set).
int ParseWsFrameHeader(const uint8_t* data, size_t size, WsFrameHeader& headerOut);

// XORs text with the four-byte mask; masking twice restores it.
void ApplyWsMask(std::string& text, const uint8_t mask[4]);

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key.
std::string WebSocketAccept(const std::string& key);
