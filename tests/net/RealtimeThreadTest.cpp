#include <windows.h>

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CHttpsRealtimeThread.h"
#include "HeldClock.h"
#include "support/WorkerTestBed.h"
#include "Waiting.h"

// The streaming worker against scripted TLS servers on loopback.

namespace {

using Connection = TlsTestServer::Connection;

const char kUpgrade[] =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: x\r\n\r\n";

std::string Message(int sequence, size_t padTo = 0) {
    std::string text = "{\"seq\":" + std::to_string(sequence) + ",\"currency_pair\":\"btc_jpy\"";
    if (text.size() + 1 < padTo) text += ",\"pad\":\"" + std::string(padTo - text.size() - 10, 'p') + "\"";
    return text + "}";
}

// Answers the handshake with response once the request is in.
bool Accept(Connection& c, const char* response = kUpgrade) {
    if (ReadRequest(c).empty()) return false;
    return c.Write(response);
}

std::string DecodeBase64(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        size_t value = alphabet.find(c);
        if (value == std::string::npos) return "<bad>";
        bits = (bits << 6) | (unsigned)value;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += (char)((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Every connection shakes hands with response and then sends the message
// numbered as the connection is; the first sends firstBytes before it.
TlsTestServer::Handler NumberedMessages(std::atomic<int>& connections,
                                        const std::string& firstBytes = "",
                                        const std::string& response = kUpgrade) {
    return [&connections, firstBytes, response](Connection& c) {
        int number = ++connections;
        if (!Accept(c, response.c_str())) return;
        if (number == 1 && !firstBytes.empty()) c.Write(firstBytes);
        c.Write(ServerFrame(0x81, Message(number)));
        c.HoldUntilClosed();
    };
}

class RealtimeThreadTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_GE(WorkerTestBed::StopAndWait(worker, 10000), 0) << "the worker did not end"; }

    void StartOn(TlsTestServer& server) { StartOn(server, worker); }
    void StartOn(TlsTestServer& server, CHttpsRealtimeThread& on) {
        on.SetServer("localhost", server.Port());
        bed.Start(on, "btc_jpy.r", {"seq"});
    }

    WorkerTestBed bed;
    CHttpsRealtimeThread worker;
};

}  // namespace

TEST(RealtimeThreadRequest, ExactHandshakeText) {
    CHttpsRealtimeThread worker;
    worker.SetTopic("btc_jpy.r");
    char buffer[CHttpsThread::kRequestSize] = {};
    EXPECT_TRUE(worker.MakeRequest(buffer));
    std::string request = buffer;
    const std::string fixed =
        "GET /stream?currency_pair=btc_jpy HTTP/1.1\r\nHost: localhost:8888\r\nUpgrade: websocket\r\n"
        "connection: upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: ";
    ASSERT_EQ(fixed, request.substr(0, fixed.size()));
    std::string key = request.substr(fixed.size());
    ASSERT_EQ(24u + 4u, key.size()) << "24 Base64 characters, CR LF, and the empty line";
    EXPECT_EQ("\r\n\r\n", key.substr(24));
    EXPECT_EQ(16u, DecodeBase64(key.substr(0, 24)).size()) << "RFC 6455 asks for a 16-byte nonce";

    // The pair is the text before the first dot; the host is the configured one.
    CHttpsRealtimeThread elsewhere;
    elsewhere.SetTopic("eth_btc");
    elsewhere.SetServer("stream.example.jp", 0);
    char other[CHttpsThread::kRequestSize] = {};
    elsewhere.MakeRequest(other);
    EXPECT_EQ(
        0u, std::string(other).find("GET /stream?currency_pair=eth_btc HTTP/1.1\r\nHost: stream.example.jp:8888\r\n"));
}

// RFC 6455 4.1: every connection sends a fresh nonce of 16 random bytes.
// Requests made within one second must not repeat a key, and the bytes must
// range over all values, not over the characters of a text.
TEST(RealtimeThreadRequest, EveryKeyIsAFreshSixteenByteNonce) {
    const int kRequests = 200;
    CHttpsRealtimeThread worker;
    worker.SetTopic("btc_jpy.r");
    std::set<std::string> nonces;
    std::set<char> byteValues;
    for (int i = 0; i < kRequests; ++i) {
        char buffer[CHttpsThread::kRequestSize] = {};
        ASSERT_TRUE(worker.MakeRequest(buffer));
        const char* key = strstr(buffer, "Sec-WebSocket-Key: ");
        ASSERT_NE(nullptr, key);
        std::string nonce = DecodeBase64(std::string(key + strlen("Sec-WebSocket-Key: "), 24));
        ASSERT_EQ(16u, nonce.size());
        nonces.insert(nonce);
        byteValues.insert(nonce.begin(), nonce.end());
    }
    EXPECT_EQ((size_t)kRequests, nonces.size()) << "a key was sent twice";
    EXPECT_GT(byteValues.size(), 128u) << "the nonce bytes take few values";
}

// The key's encoder: line breaks every 64 characters, CR LF at the end, and
// the size protocol of crypt32 (with the NUL when asked, without after).
TEST(WebSocketKeyEncoder, Base64AsCrypt32WritesIt) {
    const BYTE nonce[] = "0123456789abcdef";
    DWORD size = 0;
    ASSERT_TRUE(CryptBinaryToStringA(nonce, 16, CRYPT_STRING_BASE64, nullptr, &size));
    EXPECT_EQ(27u, size);
    char text[128] = {};
    size = sizeof(text);
    ASSERT_TRUE(CryptBinaryToStringA(nonce, 16, CRYPT_STRING_BASE64, text, &size));
    EXPECT_STREQ("MDEyMzQ1Njc4OWFiY2RlZg==\r\n", text);
    EXPECT_EQ(26u, size);

    BYTE longer[60];
    for (int i = 0; i < 60; ++i)
        longer[i] = (BYTE)(i * 7);
    size = sizeof(text);
    ASSERT_TRUE(CryptBinaryToStringA(longer, 60, CRYPT_STRING_BASE64, text, &size));
    EXPECT_EQ(80u + 4u, size);
    EXPECT_EQ("\r\n", std::string(text + 64, 2)) << "a break after 64 characters";

    size = 10;
    EXPECT_FALSE(CryptBinaryToStringA(nonce, 16, CRYPT_STRING_BASE64, text, &size)) << "too small a buffer";
}

TEST_F(RealtimeThreadTest, EveryMessagePublishedOnceInOrderWhateverItsFraming) {
    std::atomic<bool> pongOk{false};
    auto server = bed.Serve([&](Connection& c) {
        if (!Accept(c)) return;
        std::string stream;
        stream += ServerFrame(0x81, Message(1));          // under 126 bytes: 7-bit length
        stream += ServerFrame(0x81, Message(2, 300));     // 16-bit length
        stream += ServerFrame(0x81, Message(3, 300), 8);  // 64-bit length
        std::string fourth = Message(4, 500);
        stream += ServerFrame(0x01, fourth.substr(0, 300));  // 300 bytes, then
        stream += ServerFrame(0x89, "are you there");        // a ping in between,
        stream += ServerFrame(0x80, fourth.substr(300));     // then the last 200
        stream += ServerFrame(0x82, Message(5, 70000));      // 64-bit length needed
        c.Write(stream);
        int opcode = 0;
        std::string payload;
        pongOk = ReadClientFrame(c, &opcode, &payload) && opcode == 0xA && payload == "are you there";
        c.Write(ServerFrame(0x81, Message(6)));
        // Values go out in order: a message published twice shows before this one.
        c.Write(ServerFrame(0x81, Message(7)));
        c.HoldUntilClosed();
    });
    WorkerStopper stopper(worker);
    StartOn(*server);
    auto values = WorkerTestBed::ValuesOf(bed.window.WaitFor(7, 8000));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7"}), values) << "each once, in order";
    EXPECT_TRUE(pongOk.load()) << "the ping is answered with a masked pong carrying its payload";
    EXPECT_EQ(1, server->Accepted()) << "no reconnect on any of these frames";
}

// Every connection sends the message numbered as the connection is. The
// handshake needs a 101 and the upgrade, in any letter case; frames a client
// must not take end the connection before the message behind them, which is
// not published, and the next connection's message is.
TEST_F(RealtimeThreadTest, HandshakeAndForbiddenFramesDecideWhatIsPublished) {
    std::string masked = ServerFrame(0x81, std::string(9, '\0'));
    masked[1] = (char)(masked[1] | 0x80);
    masked.insert(2, "\x01\x02\x03\x04");
    const std::string switching = "HTTP/1.1 101 Switching Protocols\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> published;
        std::string response;
        std::string firstBytes;  // what the first connection sends before its message
    };
    const Case cases[] = {
        {"lower case", {"1"}, switching + "Upgrade: websocket\r\nConnection: upgrade\r\n\r\n", ""},
        {"capitals", {"1"}, switching + "upgrade: websocket\r\nCONNECTION: UPGRADE\r\n\r\n", ""},
        {"not 101", {}, "HTTP/1.1 200 OK\r\nConnection: upgrade\r\nContent-Length: 0\r\n\r\n", ""},
        {"no Connection header", {}, switching + "Upgrade: websocket\r\n\r\n", ""},
        {"no upgrade", {}, switching + "Connection: keep-alive\r\n\r\n", ""},
        // RFC 6455 5.1: a client closes the connection when a server frame is masked.
        {"masked server frame", {"2"}, kUpgrade, masked},
        {"oversize message", {"2"}, kUpgrade, ServerFrame(0x81, Message(0, CHttpsRealtimeThread::kMessageSize))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> connections{0};
        auto server = bed.Serve(NumberedMessages(connections, c.firstBytes, c.response));
        CHttpsRealtimeThread local;
        WorkerStopper stopper(local);
        StartOn(*server, local);
        auto values = WorkerTestBed::ValuesOf(bed.window.WaitFor(1, c.published.empty() ? 1500 : 8000));
        EXPECT_GE(WorkerTestBed::StopAndWait(local, 5000), 0);
        EXPECT_EQ(c.published, values);
        bed.window.Take();
    }
}

TEST_F(RealtimeThreadTest, CloseFrameEndsTheConnectionWithAReply) {
    std::atomic<int> connections{0};
    std::atomic<bool> replied{false};
    auto server = bed.Serve([&](Connection& c) {
        int number = ++connections;
        if (!Accept(c)) return;
        c.Write(ServerFrame(0x81, Message(number)));
        if (number > 1) return c.HoldUntilClosed();
        c.Write(ServerFrame(0x88, std::string("\x03\xe8", 2)));
        int opcode = 0;
        std::string payload;
        replied = ReadClientFrame(c, &opcode, &payload) && opcode == 0x8 && payload == std::string("\x03\xe8", 2);
        c.HoldUntilClosed();
    });
    WorkerStopper stopper(worker);
    StartOn(*server);
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), WorkerTestBed::ValuesOf(bed.window.WaitFor(2, 6000)));
    EXPECT_TRUE(replied.load());
    EXPECT_EQ(2, connections.load());
}

TEST_F(RealtimeThreadTest, QuietStreamIsReopenedAfterTheTimeout) {
    std::atomic<int> connections{0};
    auto server = bed.Serve(NumberedMessages(connections));
    bed.settings.tmout_ms = 1000;
    bed.settings.polling_interval = 1;
    WorkerStopper stopper(worker);
    StartOn(*server);
    DWORD start = GetTickCount();
    auto values = WorkerTestBed::ValuesOf(bed.window.WaitFor(2, 6000));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), values);
    EXPECT_GE(Since(start) + 100, 2000u) << "one time-out and one interval apart";
}

// The quiet time before a message and the reading of the message are
// bounded each by the time-out on its own: a message whose first byte comes
// late in the quiet time still has the whole time-out to arrive.
TEST_F(RealtimeThreadTest, MessageBegunLateInTheQuietTimeHasTheWholeTimeoutToArrive) {
    std::atomic<int> connections{0};
    auto server = bed.Serve([&](Connection& c) {
        if (++connections > 1 || !Accept(c)) return c.HoldUntilClosed();
        c.Write(ServerFrame(0x81, Message(1)));
        std::string late = ServerFrame(0x81, Message(2));
        c.HoldFor(1200);
        c.Write(late.substr(0, 1));
        c.HoldFor(1200);
        c.Write(late.substr(1));
        c.HoldUntilClosed();
    });
    bed.settings.tmout_ms = 2000;
    WorkerStopper stopper(worker);
    StartOn(*server);
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), WorkerTestBed::ValuesOf(bed.window.WaitFor(2, 8000)));
    EXPECT_EQ(1, connections.load()) << "the connection stands through the late message";
}

// A stop asked for in the quiet time is not held up by a message that
// begins afterwards: the worker ends at that message's first byte (about
// 1 s after the stop here), not after reading it whole (about 5 s).
TEST_F(RealtimeThreadTest, StopInTheQuietTimeIsNotHeldByAMessageBegunAfterIt) {
    std::atomic<long long> stoppedAt{0};
    auto server = bed.Serve([&](Connection& c) {
        if (!Accept(c)) return;
        c.Write(ServerFrame(0x81, Message(1)));
        c.HoldFor(300);
        worker.Stop();
        stoppedAt = NowMs();
        c.HoldFor(1000);
        c.Write(ServerFrame(0x81, Message(2)).substr(0, 1));
        c.HoldUntilClosed();
    });
    bed.settings.tmout_ms = 4000;
    WorkerStopper stopper(worker);
    StartOn(*server);
    ASSERT_TRUE(WaitUntil([&] { return stoppedAt != 0 && !worker.alive; }, 10000));
    EXPECT_LT(SinceMs(stoppedAt), 3000);
}

TEST_F(RealtimeThreadTest, FailedConnectsAreSpacedByTheInterval) {
    TlsTestServer::Options bare;
    bare.handshake = false;
    auto server = bed.Serve([](Connection&) {}, bare);
    worker.tickCount = HeldClock::Read;
    WorkerStopper stopper(worker);
    StartOn(*server);
    ASSERT_TRUE(WaitUntil([&] { return server->Accepted() > 0; }, 10000));
    std::string why;
    EXPECT_TRUE(NextConnectionAfter(*server, 1000, &why)) << why;
    std::string failed = "localhost:" + std::to_string(server->Port()) + " 接続失敗（TLSハンドシェイク失敗）\r\n";
    EXPECT_EQ(std::vector<std::string>{failed}, bed.directory.LogMessages()) << "the run's first attempt, logged once";
}

// The time-out is long, so that a worker which waits it out, whole or in
// part, shows against the bound that a stop must meet.
TEST_F(RealtimeThreadTest, StopEndsTheWorkerWithinTheTimeoutWhateverTheServerDoes) {
    struct Case {
        const char* what;
        TlsTestServer::Handler handler;
    };
    // Each server says when it has reached the state the stop must meet.
    // Bytes just written are given a moment to be read, so that the stop
    // finds the worker waiting for more rather than still busy with them.
    std::atomic<bool> reached{false};
    // Or a server write has waited this long: its peer stopped reading.
    std::atomic<long long> writeBegunMs{0};
    auto reachedOrBlocked = [&] {
        long long begun = writeBegunMs;
        return reached.load() || (begun != 0 && NowMs() - begun > 500);
    };
    auto wroteAndHeld = [](Connection& c, const std::string& bytes) {
        bool written = c.Write(bytes);
        c.HoldFor(300);
        return written;
    };
    const Case cases[] = {
        {"stalled handshake",
         [&](Connection& c) {
             reached = !ReadRequest(c).empty();
             c.HoldUntilClosed();
         }},
        {"stalled mid-frame",
         [&](Connection& c) {
             if (!Accept(c)) return;
             reached = wroteAndHeld(c, ServerFrame(0x81, Message(1, 400)).substr(0, 100));
             c.HoldUntilClosed();
         }},
        {"streaming without a pause",
         [&](Connection& c) {
             if (!Accept(c)) return;
             for (int i = 0; i < 100000 && c.Write(ServerFrame(0x81, Message(i))); ++i)
                 reached = i > 100;
         }},
        // Nobody reads the worker's pongs: once the buffers are full, its
        // writes wait, and so does this server's next ping. Under Wine the
        // buffers grow faster than pings fill them, so the worker is instead
        // caught reading an endless run of control frames, which no data
        // message ends.
        {"pinging and never reading",
         [&](Connection& c) {
             if (!Accept(c)) return;
             const std::string ping = ServerFrame(0x89, std::string(125, 'p'));
             for (int i = 0; i < 1000000; ++i) {
                 reached = i > 5000;
                 writeBegunMs = NowMs();
                 bool written = c.Write(ping);
                 writeBegunMs = 0;
                 if (!written) return;
             }
         }},
        {"quiet after a message",
         [&](Connection& c) {
             if (!Accept(c)) return;
             reached = wroteAndHeld(c, ServerFrame(0x81, Message(1)));
             c.HoldUntilClosed();
         }},
        // A broken connection fails every read at once, so the worker sleeps
        // out the rest of the time-out instead of reading.
        {"broken by a corrupt record",
         [&](Connection& c) {
             if (!Accept(c)) return;
             std::string noise = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a');
             bool sent = send(c.Socket(), noise.data(), (int)noise.size(), 0) == (int)noise.size();
             c.HoldFor(300);
             reached = sent;
             c.HoldUntilClosed();
         }},
    };
    for (const Case& c : cases) {
        reached = false;
        writeBegunMs = 0;
        auto server = bed.Serve(c.handler);
        CHttpsRealtimeThread local;
        WorkerStopper stopper(local);
        bed.settings.tmout_ms = 20000;
        StartOn(*server, local);
        EXPECT_TRUE(WaitUntil(reachedOrBlocked, 10000)) << c.what;
        int took = WorkerTestBed::StopAndWait(local, 10000);
        EXPECT_GE(took, 0) << c.what;
        EXPECT_LE(took, 5000) << c.what;  // a loaded machine may take seconds
        bed.window.Take();
    }
}
