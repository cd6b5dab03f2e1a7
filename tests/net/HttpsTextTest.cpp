#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CHttpsThread.h"
#include "TempWorkingDirectory.h"

namespace {

const char kResponse[] =
    "HTTP/1.0 200 OK\r\n"
    "Set-Cookie: session=abc; path=/\r\n"
    "Connection: keep-alive\r\n"
    "\r\n"
    "{\"last\":1}";

}  // namespace

TEST(GetHeaderValue, PicksTheRestOfTheLineAfterTheFirstMatch) {
    struct Case {
        const char* header;
        const char* text;
        int destSize;
        const char* expected;
        const char* why;
    };
    const Case cases[] = {
        {"Set-Cookie:", kResponse, 1024, " session=abc; path=/", "the leading blank and the attributes stay"},
        {"Connection:", kResponse, 1024, " keep-alive", "a later header"},
        {"Connection:", "Connection: close", 1024, " close", "no carriage return: up to the end of the text"},
        {"Connection:", "Connection: a\r\nConnection: b\r\n", 1024, " a", "the first occurrence counts"},
        {"Connection:", "HTTP/1.0 200 OK\r\n\r\nConnection: body", 1024, " body", "a match in the body counts too"},
        {"Connection:", "Connection:\r\n", 1024, "", "an empty value"},
        {"Connection:", "Connection: keep-alive\r\n", 6, " keep", "cut to destSize - 1 characters"},
        {"Connection:", "Connection: keep-alive\r\n", 1, "", "room for the terminator only"},
        {"Connection:", "Connection: a\nb\r\n", 1024, " a\nb", "only a carriage return ends the value"},
    };
    for (const Case& c : cases) {
        std::vector<char> dest(c.destSize + 8, '#');
        int copied = CHttpsThread::GetHeaderValue(dest.data(), c.destSize, c.header, c.text);
        EXPECT_STREQ(c.expected, dest.data()) << c.why;
        EXPECT_EQ((int)strlen(c.expected), copied) << c.why;
        EXPECT_EQ('#', dest[c.destSize]) << c.why << ": wrote past destSize";
    }
}

TEST(GetHeaderValue, MissingHeaderLeavesTheDestinationAlone) {
    const char* misses[] = {"connection:", "Connection :", "Keep-Alive:"};
    for (const char* header : misses) {
        char dest[32] = "previous";
        EXPECT_EQ(0, CHttpsThread::GetHeaderValue(dest, sizeof(dest), header, kResponse)) << header;
        EXPECT_STREQ("previous", dest) << header << ": the match is exact and case-sensitive";
    }
}

TEST(LogSslError, NamesEachErrorCodeAndIgnoresOthers) {
    TempWorkingDirectory directory;
    for (int code = -1; code <= 10; ++code)
        CHttpsThread::LogSslError(code);
    std::vector<std::string> expected = {
        "SSL_ERROR_SSL\r\n",          "SSL_ERROR_WANT_READ\r\n",
        "SSL_ERROR_WANT_WRITE\r\n",   "SSL_ERROR_WANT_X509_LOOKUP\r\n",
        "SSL_ERROR_SYSCALL\r\n",      "SSL_ERROR_ZERO_RETURN\r\n",
        "SSL_ERROR_WANT_CONNECT\r\n", "SSL_ERROR_WANT_ACCEPT\r\n",
    };
    EXPECT_EQ(expected, directory.LogMessages()) << "codes -1, 0, 9 and 10 write nothing";
}

TEST(CHttpsThread, NewConnectionHoldsNothing) {
    CHttpsThread worker;
    EXPECT_EQ(std::string(CHttpsThread::kHostSize, '\0'), std::string(worker.host, sizeof(worker.host)));
    EXPECT_EQ(std::string(CHttpsThread::kCookieSize, '\0'), std::string(worker.cookie, sizeof(worker.cookie)));
    EXPECT_EQ(kInvalidSocket, worker.sock);
    EXPECT_EQ(nullptr, worker.ssl);
    char buffer[4];
    worker.timeoutMs = 100;
    EXPECT_EQ(-1, worker.Receive(buffer, 4)) << "no connection to read from";
    EXPECT_EQ(-1, worker.Send("x"));
    char request[CHttpsThread::kRequestSize] = {};
    EXPECT_TRUE(worker.MakeRequest(request));
    EXPECT_STREQ("", request);
}

TEST(CHttpsThread, SetServerCutsTheHostName) {
    CHttpsThread worker;
    std::string longName(2000, 'h');
    worker.SetServer(longName.c_str(), 8443);
    EXPECT_EQ(std::string(CHttpsThread::kHostSize - 1, 'h'), worker.serverHost);
    EXPECT_EQ(8443, worker.serverPort);
}
