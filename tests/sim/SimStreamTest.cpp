// The stream side of exchange-sim, from the outside: the WebSocket upgrade,
// the frames of each fault mode, the messages' content and order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <regex>

#include "SimHarness.h"

namespace {

// The sample key of the WebSocket protocol and the answer it must get.
const char kKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
const char kAccept[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

unsigned long Seq(const std::string& message) {
    std::smatch match;
    return std::regex_search(message, match, std::regex("^\\{\"seq\":(\\d+),")) ? std::stoul(match[1]) : 0;
}

class StreamTest : public ::testing::Test {
protected:
    // Starts the simulator and upgrades one connection for btc_jpy.
    void Open(std::vector<std::string> extra) {
        extra.insert(extra.end(), {"--rate", "20"});
        sim.reset(new ExchangeSimProcess(extra));
        ASSERT_TRUE(sim->Started()) << sim->Log();
        client.reset(new TlsClient(sim->StreamPort(), sim->CaFile()));
        ASSERT_TRUE(client->Connected());
        head = Upgrade(*client, "btc_jpy", kKey);
    }
    WebSocketFrame Next() {
        WebSocketFrame frame;
        EXPECT_TRUE(ReadFrame(*client, frame, 5000)) << sim->Log();
        return frame;
    }
    std::unique_ptr<ExchangeSimProcess> sim;
    std::unique_ptr<TlsClient> client;
    std::string head;
};

TEST_F(StreamTest, UpgradeAndMessagesInOrder) {
    Open({"--pin", "btc_jpy=1234567"});
    EXPECT_EQ(0u, head.find("HTTP/1.1 101 Switching Protocols\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find(std::string("\r\nSec-WebSocket-Accept: ") + kAccept + "\r\n")) << head;
    // Lower case: a client that looks for "upgrade" byte for byte must find it.
    EXPECT_NE(std::string::npos, head.find("\r\nConnection: upgrade\r\n")) << head;

    const std::regex shape(
        R"re(^\{"seq":\d+,"asks":\[\[[0-9.]+,[0-9.]+\].*\],"bids":\[\[.*\],"trades":\[\{.*\}\],)re"
        R"re("timestamp":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}",)re"
        R"re("last_price":\{"action":"(ask|bid)","price":1234567\.0\},"currency_pair":"btc_jpy"\}$)re");
    for (unsigned long expected = 1; expected <= 4; expected++) {
        const WebSocketFrame frame = Next();
        EXPECT_TRUE(frame.fin);
        EXPECT_EQ(1, frame.opcode);
        EXPECT_FALSE(frame.masked);
        EXPECT_EQ(16, frame.lengthForm) << "the default messages take the 16-bit length";
        EXPECT_TRUE(std::regex_match(frame.payload, shape)) << frame.payload;
        EXPECT_EQ(expected, Seq(frame.payload));
    }
}

TEST_F(StreamTest, RateSpacesTheMessages) {
    Open({});
    Next();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; i++)
        Next();
    // 20 a second: ten periods between the first and the eleventh.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

// Random gaps still keep the rate on average, but are far from equal.
TEST_F(StreamTest, RandomPacingVariesTheGapsAroundTheRate) {
    Open({"--pacing", "random"});
    Next();
    std::vector<double> gaps;
    auto last = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) {
        Next();
        const auto now = std::chrono::steady_clock::now();
        gaps.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    }
    const double total = std::accumulate(gaps.begin(), gaps.end(), 0.0);
    EXPECT_GT(total, 200.0) << "20 gaps of 50 ms on average";
    EXPECT_LT(total, 5000.0);
    EXPECT_GT(*std::max_element(gaps.begin(), gaps.end()), 3 * *std::min_element(gaps.begin(), gaps.end()) + 1);
}

TEST_F(StreamTest, ABurstSendsItsMessagesTogetherOnce) {
    Open({});
    const unsigned long first = Seq(Next().payload);
    sim->Control("burst 30\n");
    ASSERT_TRUE(sim->WaitForLog("burst of 30 messages in one write", 5000)) << sim->Log();
    std::smatch match;
    const std::string log = sim->Log();
    ASSERT_TRUE(std::regex_search(log, match, std::regex("the last seq (\\d+), written at \\d+ us")));
    const unsigned long last = std::stoul(match[1]);
    ASSERT_GT(last - 29, first);
    for (unsigned long expected = first + 1; expected <= last; expected++)
        ASSERT_EQ(expected, Seq(Next().payload));
    // The same text again asks for nothing new.
    for (int i = 0; i < 5; i++)
        Next();
    EXPECT_EQ(log.find("burst of"), sim->Log().rfind("burst of")) << sim->Log();
}

TEST_F(StreamTest, BadUpgradesAreRefused) {
    sim.reset(new ExchangeSimProcess());
    ASSERT_TRUE(sim->Started());
    const std::string ca = sim->CaFile();
    struct Case {
        const char* request;
        const char* why;
    };
    // clang-format off
    const Case cases[] = {
        {"GET /stream?currency_pair=btc_jpy HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n"
         "Sec-WebSocket-Version: 13\r\n\r\n", "no 16-byte Sec-WebSocket-Key"},
        {"GET /stream?currency_pair=btc_jpy HTTP/1.1\r\nConnection: upgrade\r\n"
         "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", "no Upgrade: websocket"},
        {"GET /ticker?currency_pair=btc_jpy HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n"
         "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", "not /stream"},
        {"GET /stream?currency_pair=../x HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade\r\n"
         "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n", "bad currency pair"},
    };
    // clang-format on
    for (const Case& c : cases) {
        TlsClient refused(sim->StreamPort(), ca);
        refused.Write(c.request);
        EXPECT_EQ(0u, refused.ReadHead(5000).find("HTTP/1.1 400 ")) << c.why;
        EXPECT_TRUE(sim->WaitForLog(std::string("refused upgrade: ") + c.why, 2000)) << sim->Log();
    }
    // Header names and tokens in any case are still an upgrade.
    TlsClient odd(sim->StreamPort(), ca);
    odd.Write(std::string("GET /stream?currency_pair=btc_jpy HTTP/1.1\r\nUPGRADE: WebSocket\r\nconnection: "
                          "keep-alive, Upgrade\r\nsec-websocket-version: 13\r\nsec-websocket-key: ") +
              kKey + "\r\n\r\n");
    EXPECT_EQ(0u, odd.ReadHead(5000).find("HTTP/1.1 101 "));
}

TEST_F(StreamTest, FrameShapesOfEachMode) {
    Open({"--stream-faults", "small"});
    WebSocketFrame frame = Next();
    EXPECT_EQ(7, frame.lengthForm);
    EXPECT_LT(frame.payload.size(), 126u);
    EXPECT_EQ(1u, Seq(frame.payload));
    EXPECT_NE(std::string::npos, frame.payload.find("\"last_price\":{\"action\":"));

    Open({"--stream-faults", "len64=0"});
    frame = Next();
    EXPECT_EQ(64, frame.lengthForm) << "the 64-bit form also where 16 bits would do";
    EXPECT_LT(frame.payload.size(), 65536u);
    EXPECT_EQ(1u, Seq(frame.payload));

    Open({"--stream-faults", "oversize=5000"});
    frame = Next();
    EXPECT_EQ(16, frame.lengthForm);
    EXPECT_EQ(5000u, frame.payload.size());
    EXPECT_EQ("\"}", frame.payload.substr(4998));

    Open({"--stream-faults", "masked"});
    frame = Next();
    EXPECT_TRUE(frame.masked);
    EXPECT_EQ(1u, Seq(frame.payload)) << "unmasked with its key, the payload is the message";
}

TEST_F(StreamTest, FragmentedMessagesWithPingsBetween) {
    Open({"--stream-faults", "fragment=3,ping=2"});
    for (unsigned long seq = 1; seq <= 2; seq++) {
        std::string message;
        std::vector<int> opcodes;
        for (;;) {
            const WebSocketFrame frame = Next();
            opcodes.push_back(frame.opcode);
            if (frame.opcode == 9) {
                EXPECT_TRUE(frame.fin);
                // Answer the ping with a masked pong, as a client must.
                client->Write(MaskedFrame(0x8a, frame.payload));
                continue;
            }
            message += frame.payload;
            if (frame.fin) break;
        }
        // The ping of every second message comes between its first two frames.
        const std::vector<int> expected = seq == 2 ? std::vector<int>{1, 9, 0, 0} : std::vector<int>{1, 0, 0};
        EXPECT_EQ(expected, opcodes) << "message " << seq;
        EXPECT_EQ(seq, Seq(message));
        EXPECT_EQ('}', message.back());
    }
    EXPECT_TRUE(sim->WaitForLog("stream: pong 1", 2000)) << sim->Log();
}

TEST_F(StreamTest, ConnectionEndingModes) {
    Open({"--stream-faults", "close-frame=2"});
    EXPECT_EQ(1u, Seq(Next().payload));
    EXPECT_EQ(2u, Seq(Next().payload));
    WebSocketFrame frame = Next();
    EXPECT_EQ(8, frame.opcode);
    EXPECT_EQ(std::string("\x03\xe8", 2), frame.payload) << "status 1000";

    Open({"--stream-faults", "reset=2"});
    Next();
    Next();
    std::string rest;
    EXPECT_EQ(-1, client->ReadSome(rest, 5000)) << "a TCP reset, no TLS close";

    Open({"--stream-faults", "stall-body=0"});
    EXPECT_EQ(0u, head.find("HTTP/1.1 101 "));
    EXPECT_EQ(-2, client->ReadSome(rest, 600)) << "upgraded, then silent";

    Open({"--stream-faults", "stall-body=3"});
    EXPECT_TRUE(client->ReadExactly(3, rest, 5000));
    EXPECT_EQ(-2, client->ReadSome(rest, 600)) << "three bytes of the first frame, then silent";
}

TEST_F(StreamTest, HandshakeFaults) {
    Open({"--stream-faults", "no-upgrade"});
    EXPECT_EQ(0u, head.find("HTTP/1.1 200 OK\r\n")) << head;
    EXPECT_EQ(std::string::npos, head.find("Connection:"));
    EXPECT_EQ(std::string::npos, head.find("Upgrade"));

    Open({"--stream-faults", "mixed-case"});
    EXPECT_NE(std::string::npos, head.find("\r\nConnection: Upgrade\r\n")) << head;
    EXPECT_EQ(std::string::npos, head.find("upgrade\r\n"));

    // The status alone says no; the headers and the frames say yes.
    Open({"--stream-faults", "bad-status=403"});
    EXPECT_EQ(0u, head.find("HTTP/1.1 403 ")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\nConnection: upgrade\r\n"));
    EXPECT_EQ(1u, Seq(Next().payload));
}

}  // namespace
