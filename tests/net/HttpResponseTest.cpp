#include <gtest/gtest.h>

#include <cstring>
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

// Header lines are found by name without regard to case, only as whole
// lines of the header block, and cut to the destination.
TEST(FindHeaderValue, FindsWholeHeaderLinesCutToTheDestination) {
    const char block[] = "HTTP/1.1 101 Switching\r\nconnection: Upgrade\r\nSET-COOKIE: a=1\r\n\r\n";
    const char longValue[] = "HTTP/1.0 200 OK\r\nA: 123456\r\n\r\n";
    struct Case {
        const char* why;
        const char* name;
        const char* text;
        size_t size;
        int result;
        const char* value;
    };
    const Case cases[] = {
        {"lower-case line, leading blank kept", "Connection:", block, 64, 8, " Upgrade"},
        {"upper-case line", "Set-Cookie:", block, 64, 4, " a=1"},
        {"in the body", "Set-Cookie:", "HTTP/1.0 200 OK\r\nX: 1\r\n\r\n{\"Set-Cookie:\":\"evil\"}", 64, -1,
         "untouched"},
        {"inside another header's value", "Connection:", "HTTP/1.0 200 OK\r\nX: Connection: close\r\n\r\n", 64, -1,
         "untouched"},
        {"the tail of a longer name", "Cookie:", "HTTP/1.0 200 OK\r\nSet-Cookie: a\r\n\r\n", 64, -1, "untouched"},
        {"an empty value is found and empty", "Set-Cookie:", "HTTP/1.0 200 OK\r\nSet-Cookie:\r\n\r\n", 64, 0, ""},
        {"cut to the destination", "A:", longValue, 5, 4, " 123"},
        {"no room for the NUL: nothing written", "A:", longValue, 0, -1, "untouched"},
    };
    for (const Case& c : cases) {
        char value[64] = "untouched";
        EXPECT_EQ(c.result, FindHeaderValue(value, c.size, c.name, c.text)) << c.why;
        EXPECT_STREQ(c.value, value) << c.why;
    }
}

TEST(ParseStatusCode, StatusLineOnly) {
    EXPECT_EQ(101, ParseStatusCode("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_EQ(200, ParseStatusCode("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(0, ParseStatusCode("http/1.1 101\r\n")) << "the protocol name is case-sensitive";
    EXPECT_EQ(0, ParseStatusCode("HTTP/1.1 1x1\r\n"));
    EXPECT_EQ(0, ParseStatusCode("SSH-2.0-OpenSSH\r\n"));
}

std::string WithConnection(const char* line) {
    return std::string("HTTP/1.0 200 OK\r\n") + line + "Content-Length: 2\r\n\r\n{}";
}

TEST(ReadHttpResponse, CompleteResponses) {
    struct Case {
        const char* why;
        std::string script;
        bool ends;  // the stream ends after the script, else it goes quiet
        bool reusable;
        const char* text;  // null: the script up to what is left
        const char* rest;
    };
    const Case cases[] = {
        {"content length ends it and leaves the next one",
         std::string(kHeaders) + "Content-Length: 10\r\n\r\n{\"last\":1}HTTP/1.0 200 OK\r\n", false, true, nullptr,
         "HTTP/1.0 200 OK\r\n"},
        {"Connection: close", WithConnection("Connection: close\r\n"), false, false, nullptr, ""},
        {"Connection: Close with a capital", WithConnection("Connection: Close\r\n"), false, false, nullptr, ""},
        {"Connection in all capitals", WithConnection("CONNECTION: CLOSE\r\n"), false, false, nullptr, ""},
        {"Connection: keep-alive", WithConnection("Connection: keep-alive\r\n"), false, true, nullptr, ""},
        {"no Connection header", WithConnection(""), false, true, nullptr, ""},
        {"chunked body stored without its framing",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
         "7;ext=1\r\n{\"last\"\r\n4\r\n:500\r\n1\r\n}\r\n0\r\nX-Trailer: 1\r\n\r\nnext",
         false, true, "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n{\"last\":500}", "next"},
        {"body without length ends with the connection", "HTTP/1.0 200 OK\r\n\r\n{\"last\":1}", true, false, nullptr,
         ""},
        {"interim response skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",
         false, true, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", ""},
        {"status without a body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\nHTTP/1.1", false, true,
         nullptr, "HTTP/1.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ScriptedStream stream(c.script, c.ends);
        Read read = ReadFrom(stream);
        EXPECT_TRUE(read.ok);
        EXPECT_TRUE(read.response.complete);
        EXPECT_EQ(c.reusable, read.response.reusable);
        EXPECT_EQ(c.text ? std::string(c.text) : c.script.substr(0, c.script.size() - strlen(c.rest)), read.text);
        EXPECT_EQ((int)read.text.size(), read.response.length);
        EXPECT_EQ(c.rest, stream.Rest());
    }
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
        // The same bytes as a body that ends with the connection, from a
        // server that went quiet: the body may go on.
        {"HTTP/1.0 200 OK\r\n\r\n{\"last\":1}", false, "body without length, server quiet"},
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
