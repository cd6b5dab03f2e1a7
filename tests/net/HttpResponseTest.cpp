#include <gtest/gtest.h>

#include <string>

#include "HttpResponse.h"
#include "support/ScriptedStream.h"

namespace {

const int kBufferSize = 4096;

struct Read {
    bool ok;
    HttpResponse response;
    std::string text;
};

Read ReadFrom(ScriptedStream& stream, int size = kBufferSize) {
    std::string buffer(size, 'X');
    Read result;
    result.ok = ReadHttpResponse(stream, &buffer[0], size, &result.response);
    result.text = buffer.c_str();
    return result;
}

const char kHeaders[] = "HTTP/1.0 200 OK\r\nSet-Cookie: id=1; Path=/\r\nConnection: keep-alive\r\n";

}  // namespace

TEST(FindHeaderValue, NamesMatchWithoutRegardToCase) {
    const char text[] = "HTTP/1.1 101 Switching\r\nconnection: Upgrade\r\nSET-COOKIE: a=1\r\n\r\n";
    char value[64] = "untouched";
    EXPECT_EQ(8, FindHeaderValue(value, sizeof(value), "Connection:", text));
    EXPECT_STREQ(" Upgrade", value) << "the leading blank stays";
    EXPECT_EQ(4, FindHeaderValue(value, sizeof(value), "Set-Cookie:", text));
    EXPECT_STREQ(" a=1", value);
}

TEST(FindHeaderValue, OnlyWholeHeaderLinesOfTheHeaderBlock) {
    char value[64] = "untouched";
    // In the body, inside another header's value, or as the tail of a longer name.
    EXPECT_EQ(-1, FindHeaderValue(value, sizeof(value),
                                  "Set-Cookie:", "HTTP/1.0 200 OK\r\nX: 1\r\n\r\n{\"Set-Cookie:\":\"evil\"}"));
    EXPECT_EQ(-1,
              FindHeaderValue(value, sizeof(value), "Connection:", "HTTP/1.0 200 OK\r\nX: Connection: close\r\n\r\n"));
    EXPECT_EQ(-1, FindHeaderValue(value, sizeof(value), "Cookie:", "HTTP/1.0 200 OK\r\nSet-Cookie: a\r\n\r\n"));
    EXPECT_STREQ("untouched", value);
    EXPECT_EQ(0, FindHeaderValue(value, sizeof(value), "Set-Cookie:", "HTTP/1.0 200 OK\r\nSet-Cookie:\r\n\r\n"));
    EXPECT_STREQ("", value) << "an empty value is found and empty";
}

TEST(FindHeaderValue, CutToTheDestination) {
    char value[5];
    EXPECT_EQ(4, FindHeaderValue(value, sizeof(value), "A:", "HTTP/1.0 200 OK\r\nA: 123456\r\n\r\n"));
    EXPECT_STREQ(" 123", value);
    EXPECT_EQ(-1, FindHeaderValue(value, 0, "A:", "HTTP/1.0 200 OK\r\nA: 123456\r\n\r\n"));
    EXPECT_STREQ(" 123", value) << "no room for the NUL: nothing written";
}

TEST(ParseStatusCode, StatusLineOnly) {
    EXPECT_EQ(101, ParseStatusCode("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_EQ(200, ParseStatusCode("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(0, ParseStatusCode("http/1.1 101\r\n")) << "the protocol name is case-sensitive";
    EXPECT_EQ(0, ParseStatusCode("HTTP/1.1 1x1\r\n"));
    EXPECT_EQ(0, ParseStatusCode("SSH-2.0-OpenSSH\r\n"));
}

TEST(ReadHttpResponse, ContentLengthEndsTheResponseAndLeavesTheNextOne) {
    ScriptedStream stream(std::string(kHeaders) + "Content-Length: 10\r\n\r\n{\"last\":1}HTTP/1.0 200 OK\r\n", false);
    Read read = ReadFrom(stream);
    EXPECT_TRUE(read.ok);
    EXPECT_TRUE(read.response.complete);
    EXPECT_TRUE(read.response.reusable);
    EXPECT_EQ(std::string(kHeaders) + "Content-Length: 10\r\n\r\n{\"last\":1}", read.text);
    EXPECT_EQ((int)read.text.size(), read.response.length);
    EXPECT_EQ("HTTP/1.0 200 OK\r\n", stream.Rest());
}

TEST(ReadHttpResponse, ConnectionDecidesWhetherTheConnectionGoesOn) {
    struct Case {
        const char* connection;
        bool reusable;
        const char* why;
    };
    const Case cases[] = {
        {"Connection: close\r\n", false, "close"},
        {"Connection: Close\r\n", false, "Close with a capital"},
        {"CONNECTION: CLOSE\r\n", false, "all capitals"},
        {"Connection: keep-alive\r\n", true, "keep-alive"},
        {"", true, "no Connection header"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(std::string("HTTP/1.0 200 OK\r\n") + c.connection + "Content-Length: 2\r\n\r\n{}", false);
        Read read = ReadFrom(stream);
        EXPECT_TRUE(read.response.complete) << c.why;
        EXPECT_EQ(c.reusable, read.response.reusable) << c.why;
    }
}

TEST(ReadHttpResponse, ChunkedBodyIsStoredWithoutItsFraming) {
    ScriptedStream stream(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
        "7;ext=1\r\n{\"last\"\r\n4\r\n:500\r\n1\r\n}\r\n0\r\nX-Trailer: 1\r\n\r\nnext",
        false);
    Read read = ReadFrom(stream);
    EXPECT_TRUE(read.response.complete);
    EXPECT_TRUE(read.response.reusable);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n{\"last\":500}", read.text);
    EXPECT_EQ("next", stream.Rest());
}

TEST(ReadHttpResponse, BodyWithoutLengthEndsWithTheConnection) {
    ScriptedStream closed("HTTP/1.0 200 OK\r\n\r\n{\"last\":1}", true);
    Read read = ReadFrom(closed);
    EXPECT_TRUE(read.response.complete);
    EXPECT_FALSE(read.response.reusable);
    EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n{\"last\":1}", read.text);

    // The same bytes from a server that went quiet: the body may go on.
    ScriptedStream quiet("HTTP/1.0 200 OK\r\n\r\n{\"last\":1}", false);
    EXPECT_FALSE(ReadFrom(quiet).response.complete);
}

TEST(ReadHttpResponse, IncompleteResponsesAreNotComplete) {
    struct Case {
        const char* script;
        bool ends;
        const char* why;
    };
    const Case cases[] = {
        {"", true, "closed before a byte"},
        {"", false, "nothing within the time"},
        {"HTTP/1.0 200 OK\r\nContent-Le", false, "headers cut short"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n{\"last\":1", true, "body cut short by a close"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n{\"last\":1", false, "body stalls"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", false, "chunk cut short"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", false, "no last chunk"},
        {"HTTP/1.0 200 OK\r\nContent-Length: -4\r\n\r\n{}", false, "negative length"},
    };
    for (const Case& c : cases) {
        ScriptedStream stream(c.script, c.ends);
        Read read = ReadFrom(stream);
        EXPECT_TRUE(read.ok) << c.why;
        EXPECT_FALSE(read.response.complete) << c.why;
        EXPECT_FALSE(read.response.reusable) << c.why;
        EXPECT_EQ(read.response.length, (int)read.text.size()) << c.why << ": a NUL follows the length";
    }
}

TEST(ReadHttpResponse, FailedStreamFails) {
    ScriptedStream stream("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n{\"last\":1}");
    stream.failAt = 45;
    Read read = ReadFrom(stream);
    EXPECT_FALSE(read.ok);
    EXPECT_FALSE(read.response.complete);
}

TEST(ReadHttpResponse, InterimResponseIsSkipped) {
    ScriptedStream stream("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", false);
    Read read = ReadFrom(stream);
    EXPECT_TRUE(read.response.complete);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", read.text);
    EXPECT_EQ("", stream.Rest());
}

TEST(ReadHttpResponse, StatusesWithoutBody) {
    ScriptedStream stream("HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\nHTTP/1.1", false);
    Read read = ReadFrom(stream);
    EXPECT_TRUE(read.response.complete);
    EXPECT_TRUE(read.response.reusable);
    EXPECT_EQ("HTTP/1.1", stream.Rest());
}

// A body larger than the buffer must not end in half a number: "12345" cut
// to "123" would show a wrong price. The cut goes back to the last whole value.
TEST(ReadHttpResponse, OversizeBodyIsCutAfterAWholeValue) {
    const std::string headers = "HTTP/1.0 200 OK\r\nContent-Length: 30\r\n\r\n";
    const std::string body = "{\"a\":1,\"b\":[2,3],\"last\":12345}";
    const int size = (int)headers.size() + 26 + 1;  // room for {"a":1,"b":[2,3],"last":12
    for (bool chunked : {false, true}) {
        std::string script =
            chunked ? "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1e\r\n" + body + "\r\n0\r\n\r\n"
                    : headers + body;
        ScriptedStream stream(script, false);
        Read read = ReadFrom(stream, chunked ? size + 9 : size);
        EXPECT_TRUE(read.response.complete) << chunked;
        EXPECT_TRUE(read.response.truncated) << chunked;
        EXPECT_FALSE(read.response.reusable) << "the rest of the body is still on the way";
        EXPECT_EQ("{\"a\":1,\"b\":[2,3],", read.text.substr(read.text.find("\r\n\r\n") + 4)) << chunked;
    }
}

TEST(ReadHttpResponse, HeadersTooLargeForTheBuffer) {
    ScriptedStream stream(std::string("HTTP/1.0 200 OK\r\nX: ") + std::string(200, 'a') + "\r\n\r\n");
    Read read = ReadFrom(stream, 64);
    EXPECT_FALSE(read.ok);
    EXPECT_FALSE(read.response.complete);
    EXPECT_EQ("", read.text) << "no part of a block stands as the response";
}
