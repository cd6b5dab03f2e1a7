#pragma once

// Reading server messages from a WebSocket connection (RFC 6455, client
// side) into one fixed buffer.
class CByteStream;

class CWebSocketReader {
public:
    enum Result {
        kMessage,  // a whole message is in the buffer, a NUL after it
        kClosed,   // the server sent a close frame; a close reply went back
        kEnded,    // the stream ended, failed or ran out of time mid-way
        kRefused,  // the server broke the protocol, or the message does not fit
    };

    // Control frames carry at most this much (RFC 6455 5.5).
    static const int kMaxControlPayload = 125;

    // Reads frames until a message is whole: data frames are appended,
    // continuations included, whatever their payload length form (7, 16 or
    // 64 bits); a ping is answered with a masked pong at once; pongs and
    // unknown control frames are skipped. The message with its NUL must fit
    // size bytes.
    static Result ReadMessage(CByteStream& stream, char* buffer, int size, int* lengthOut);

private:
    struct Frame {
        bool fin;
        int opcode;
        unsigned long long length;
    };
    static Result ReadFrameHeader(CByteStream& stream, Frame* frame);
    static Result ReadPayload(CByteStream& stream, char* buffer, unsigned long long length);
    static Result HandleControl(CByteStream& stream, const Frame& frame);
    static bool SendControl(CByteStream& stream, int opcode, const unsigned char* payload, int length);
};
