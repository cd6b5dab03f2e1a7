#include <gtest/gtest.h>

#include <string>

#include "FrameCodec.h"
#include "WebSocketReader.h"
#include "support/ScriptedStream.h"

namespace {

const int kBufferSize = 1024;

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

// The one frame the client wrote back: it must be final and masked.
WebSocketFrame Reply(const ScriptedStream& stream) {
    WebSocketFrame frame;
    EXPECT_TRUE(ParseFrame(stream.written, &frame)) << "one whole frame";
    EXPECT_TRUE(frame.fin);
    EXPECT_TRUE(frame.masked) << "a client masks every frame";
    return frame;
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
        {ServerFrame(0x81, small), small, "7-bit length, under 126 bytes"},
        {ServerFrame(0x81, small, 2), small, "16-bit length for a short message"},
        {ServerFrame(0x81, wide), wide, "16-bit length"},
        {ServerFrame(0x81, wide, 8), wide, "64-bit length"},
        {ServerFrame(0x81, ""), "", "empty message"},
        {ServerFrame(0x82, small), small, "binary is published like text"},
        {ServerFrame(0xF1, small), small, "reserved bits are not looked at"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(c.frame + ServerFrame(0x81, "next"), false);
        Message message = ReadOne(stream);
        EXPECT_EQ(CWebSocketReader::kMessage, message.result) << c.why;
        EXPECT_EQ(c.text, message.text) << c.why;
        EXPECT_EQ(ServerFrame(0x81, "next"), stream.Rest()) << c.why;
    }
}

TEST(WebSocketReader, ContinuationFramesMakeOneMessage) {
    const std::string first(300, 'a');
    const std::string second(200, 'b');
    ScriptedStream stream(ServerFrame(0x01, first) + ServerFrame(0x00, "") + ServerFrame(0x80, second), false);
    Message message = ReadOne(stream);
    EXPECT_EQ(CWebSocketReader::kMessage, message.result);
    EXPECT_EQ(first + second, message.text);
}

TEST(WebSocketReader, PingBetweenFragmentsIsAnsweredWithAMaskedPong) {
    ScriptedStream stream(
        ServerFrame(0x01, "{\"a\":") + ServerFrame(0x89, "hb-7") + ServerFrame(0x8A, "x") + ServerFrame(0x80, "1}"),
        false);
    Message message = ReadOne(stream);
    EXPECT_EQ(CWebSocketReader::kMessage, message.result);
    EXPECT_EQ("{\"a\":1}", message.text) << "control frames are not part of the message";
    WebSocketFrame pong = Reply(stream);
    EXPECT_EQ(0xA, pong.opcode);
    EXPECT_EQ("hb-7", pong.payload) << "a pong carries the ping's payload";
}

TEST(WebSocketReader, CloseFrameEndsWithACloseReply) {
    ScriptedStream stream(ServerFrame(0x88, std::string("\x03\xe8", 2) + "bye") + ServerFrame(0x81, "late"), false);
    EXPECT_EQ(CWebSocketReader::kClosed, ReadOne(stream).result);
    WebSocketFrame reply = Reply(stream);
    EXPECT_EQ(0x8, reply.opcode);
    EXPECT_EQ(std::string("\x03\xe8", 2), reply.payload) << "the status code goes back";

    ScriptedStream bare(ServerFrame(0x88, ""), false);
    EXPECT_EQ(CWebSocketReader::kClosed, ReadOne(bare).result);
}

TEST(WebSocketReader, ProtocolBreachesAreRefused) {
    struct Case {
        std::string script;
        const char* why;
    };
    const Case cases[] = {
        {MaskedFrame(0x81, "abcd"), "a server must not mask"},
        {ServerFrame(0x00, "abc"), "a continuation with no message begun"},
        {ServerFrame(0x01, "abc") + ServerFrame(0x81, "def"), "a new message before the last one ended"},
        {ServerFrame(0x09, "abc"), "a fragmented ping"},
        {ServerFrame(0x89, std::string(126, 'p')), "a ping longer than 125 bytes"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(c.script, false);
        EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(stream).result) << c.why;
    }
}

TEST(WebSocketReader, MessageMustFitTheBufferWithItsNul) {
    ScriptedStream fits(ServerFrame(0x81, std::string(15, 'f')));
    EXPECT_EQ(CWebSocketReader::kMessage, ReadOne(fits, 16).result);
    ScriptedStream single(ServerFrame(0x81, std::string(16, 'f')));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(single, 16).result);
    ScriptedStream fragments(ServerFrame(0x01, std::string(10, 'f')) + ServerFrame(0x80, std::string(6, 'g')));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(fragments, 16).result);
    // A 64-bit length beyond any buffer must be refused before any read.
    ScriptedStream huge(std::string("\x81\x7f\x80\x00\x00\x00\x00\x00\x00\x01", 10));
    EXPECT_EQ(CWebSocketReader::kRefused, ReadOne(huge).result);
}

TEST(WebSocketReader, StreamEndingMidwayEnds) {
    const std::string frame = ServerFrame(0x81, "{\"seq\":12}");
    for (size_t cut = 0; cut < frame.size(); ++cut) {
        ScriptedStream stream(frame.substr(0, cut), cut % 2 == 0);
        EXPECT_EQ(CWebSocketReader::kEnded, ReadOne(stream).result) << cut;
    }
    ScriptedStream unanswerable(ServerFrame(0x89, "hb"), false);
    unanswerable.writable = false;
    EXPECT_EQ(CWebSocketReader::kEnded, ReadOne(unanswerable).result) << "a pong that cannot go out";
}
