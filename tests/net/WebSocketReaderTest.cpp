#include <gtest/gtest.h>

#include <string>

#include "WebSocketReader.h"
#include "support/ScriptedStream.h"

namespace {

const int kBufferSize = 1024;

// A server frame: FIN and opcode, then the shortest length form unless
// lengthBytes asks for the 16-bit (2) or 64-bit (8) one.
std::string Frame(int finAndOpcode, const std::string& payload, int lengthBytes = 0) {
    std::string frame(1, (char)finAndOpcode);
    size_t length = payload.size();
    if (lengthBytes == 0) lengthBytes = length < 126 ? 0 : length < 65536 ? 2 : 8;
    frame += (char)(lengthBytes == 0 ? length : lengthBytes == 2 ? 126 : 127);
    for (int i = lengthBytes - 1; i >= 0; --i)
        frame += (char)((length >> (8 * i)) & 0xFF);
    return frame + payload;
}

struct Message {
    CWebSocketReader::Result result;
    std::string text;
};

Message ReadOne(ScriptedStream& stream, int size = kBufferSize) {
    std::string buffer(size, 'X');
    int length = -1;
    Message message;
    message.result = CWebSocketReader::ReadMessage(stream, &buffer[0], size, &length);
    if (message.result == CWebSocketReader::kMessage) {
        EXPECT_EQ('\0', buffer[length]);
        message.text = buffer.substr(0, length);
    }
    return message;
}

// Takes apart a frame the client sent: checks it is final and masked and
// hands back its opcode and unmasked payload.
void Unmask(const std::string& frame, int* opcode, std::string* payload) {
    ASSERT_GE(frame.size(), 6u);
    EXPECT_EQ(0x80, frame[0] & 0x80) << "final";
    EXPECT_EQ(0x80, frame[1] & 0x80) << "a client masks every frame";
    *opcode = frame[0] & 0x0F;
    size_t length = frame[1] & 0x7F;
    ASSERT_EQ(6 + length, frame.size());
    payload->clear();
    for (size_t i = 0; i < length; ++i)
        *payload += (char)(frame[6 + i] ^ frame[2 + i % 4]);
}

}  // namespace

TEST(WebSocketReader, EveryLengthFormGivesTheSameMessage) {
    const std::string small = "{\"seq\":1}";
    const std::string wide(300, 'w');
    struct Case {
        std::string frame;
        std::string text;
        const char* why;
    };
    const Case cases[] = {
        {Frame(0x81, small), small, "7-bit length, under 126 bytes"},
        {Frame(0x81, small, 2), small, "16-bit length for a short message"},
        {Frame(0x81, wide), wide, "16-bit length"},
        {Frame(0x81, wide, 8), wide, "64-bit length"},
        {Frame(0x81, ""), "", "empty message"},
        {Frame(0x82, small), small, "binary is published like text"},
        {Frame(0xF1, small), small, "reserved bits are not looked at"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(c.frame + Frame(0x81, "next"), false);
        Message message = ReadOne(stream);
        EXPECT_EQ(CWebSocketReader::kMessage, message.result) << c.why;
        EXPECT_EQ(c.text, message.text) << c.why;
        EXPECT_EQ(Frame(0x81, "next"), stream.Rest()) << c.why;
    }
}

TEST(WebSocketReader, ContinuationFramesMakeOneMessage) {
    const std::string first(300, 'a');
    const std::string second(200, 'b');
    ScriptedStream stream(Frame(0x01, first) + Frame(0x00, "") + Frame(0x80, second), false);
    Message message = ReadOne(stream);
    EXPECT_EQ(CWebSocketReader::kMessage, message.result);
    EXPECT_EQ(first + second, message.text);
}

TEST(WebSocketReader, PingBetweenFragmentsIsAnsweredWithAMaskedPong) {
    ScriptedStream stream(Frame(0x01, "{\"a\":") + Frame(0x89, "hb-7") + Frame(0x8A, "x") + Frame(0x80, "1}"), false);
    Message message = ReadOne(stream);
    EXPECT_EQ(CWebSocketReader::kMessage, message.result);
    EXPECT_EQ("{\"a\":1}", message.text) << "control frames are not part of the message";
    int opcode = 0;
    std::string payload;
    Unmask(stream.written, &opcode, &payload);
    EXPECT_EQ(0xA, opcode);
    EXPECT_EQ("hb-7", payload) << "a pong carries the ping's payload";
}

TEST(WebSocketReader, CloseFrameEndsWithACloseReply) {
    ScriptedStream stream(Frame(0x88, std::string("\x03\xe8", 2) + "bye") + Frame(0x81, "late"), false);
    EXPECT_EQ(CWebSocketReader::kClosed, ReadOne(stream).result);
    int opcode = 0;
    std::string payload;
    Unmask(stream.written, &opcode, &payload);
    EXPECT_EQ(0x8, opcode);
    EXPECT_EQ(std::string("\x03\xe8", 2), payload) << "the status code goes back";

    ScriptedStream bare(Frame(0x88, ""), false);
    EXPECT_EQ(CWebSocketReader::kClosed, ReadOne(bare).result);
}

TEST(WebSocketReader, ProtocolBreachesAreRefused) {
    std::string masked = Frame(0x81, "abcd");
    masked[1] = (char)(masked[1] | 0x80);
    masked.insert(2, "\x01\x02\x03\x04");
    struct Case {
        std::string script;
        const char* why;
    };
    const Case cases[] = {
        {masked, "a server must not mask"},
        {Frame(0x00, "abc"), "a continuation with no message begun"},
        {Frame(0x01, "abc") + Frame(0x81, "def"), "a new message before the last one ended"},
        {Frame(0x09, "abc"), "a fragmented ping"},
        {Frame(0x89, std::string(126, 'p')), "a ping longer than 125 bytes"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(c.script, false);
        EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(stream).result) << c.why;
    }
}

TEST(WebSocketReader, MessageMustFitTheBufferWithItsNul) {
    ScriptedStream fits(Frame(0x81, std::string(15, 'f')));
    EXPECT_EQ(CWebSocketReader::kMessage, ReadOne(fits, 16).result);
    ScriptedStream single(Frame(0x81, std::string(16, 'f')));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(single, 16).result);
    ScriptedStream fragments(Frame(0x01, std::string(10, 'f')) + Frame(0x80, std::string(6, 'g')));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(fragments, 16).result);
    // A 64-bit length beyond any buffer must be refused before any read.
    ScriptedStream huge(std::string("\x81\x7f\x80\x00\x00\x00\x00\x00\x00\x01", 10));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(huge).result);
}

TEST(WebSocketReader, StreamEndingMidwayEnds) {
    const std::string frame = Frame(0x81, "{\"seq\":12}");
    for (size_t cut = 0; cut < frame.size(); ++cut) {
        ScriptedStream stream(frame.substr(0, cut), cut % 2 == 0);
        EXPECT_EQ(CWebSocketReader::kEnded, ReadOne(stream).result) << cut;
    }
    ScriptedStream unanswerable(Frame(0x89, "hb"), false);
    unanswerable.writable = false;
    EXPECT_EQ(CWebSocketReader::kEnded, ReadOne(unanswerable).result) << "a pong that cannot go out";
}
