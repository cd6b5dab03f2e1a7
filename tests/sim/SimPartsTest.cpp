// The simulator's pieces on their own: frame coding, request parsing, fault
// lists, the market's documents and the command line.
#include <gtest/gtest.h>

#include "CMarketModel.h"
#include "FaultModes.h"
#include "HttpRequest.h"
#include "SimOptions.h"
#include "WebSocketFrame.h"

namespace {

WsFrameHeader ParseWhole(const std::string& frame, int& resultOut) {
    WsFrameHeader header;
    resultOut = ParseWsFrameHeader(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), header);
    return header;
}

TEST(WebSocketFrameTest, LengthFormsAtTheirBoundariesRoundTrip) {
    struct Case {
        size_t length;
        bool force64;
        size_t headerSize;
    };
    // clang-format off
    const Case cases[] = {
        {0, false, 2}, {125, false, 2}, {126, false, 4}, {65535, false, 4}, {65536, false, 10},
        {5, true, 10},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string payload(c.length, 'p');
        const std::string frame = EncodeWsFrame(kWsText, true, payload, nullptr, c.force64);
        int result = 0;
        const WsFrameHeader header = ParseWhole(frame, result);
        EXPECT_EQ(static_cast<int>(c.headerSize), result);
        EXPECT_EQ(c.length, header.length);
        EXPECT_EQ(c.headerSize + c.length, frame.size());
        EXPECT_TRUE(header.fin);
        EXPECT_EQ(kWsText, header.opcode);
        // Every shorter prefix of the header asks for more bytes.
        for (size_t cut = 0; cut < c.headerSize; cut++) {
            WsFrameHeader partial;
            EXPECT_EQ(0, ParseWsFrameHeader(reinterpret_cast<const uint8_t*>(frame.data()), cut, partial));
        }
    }
}

TEST(WebSocketFrameTest, MaskTopBitAndAcceptKey) {
    const uint8_t mask[4] = {0x37, 0xfa, 0x21, 0x3d};
    const std::string frame = EncodeWsFrame(kWsContinuation, false, "Hello", mask, false);
    // The masked "Hello" of the protocol's own example.
    EXPECT_EQ(std::string("\x00\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11), frame);
    int result = 0;
    const WsFrameHeader header = ParseWhole(frame, result);
    EXPECT_EQ(6, result);
    EXPECT_TRUE(header.masked);
    EXPECT_FALSE(header.fin);
    std::string payload = frame.substr(6);
    ApplyWsMask(payload, header.mask);
    EXPECT_EQ("Hello", payload);

    const std::string huge = std::string("\x81\x7f\x80", 3) + std::string(7, '\0');
    ParseWhole(huge, result);
    EXPECT_EQ(-1, result) << "a 64-bit length with its top bit set";

    EXPECT_EQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", WebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="));
}

TEST(HttpRequestTest, HeadsWholePartialAndBroken) {
    HttpRequest request;
    const std::string head =
        "GET /api/1/ticker/btc_jpy HTTP/1.0\r\nHost: x\r\nCookie:  a=b; Path=/\r\n"
        "CONNECTION: Keep-Alive\r\n\r\n";
    EXPECT_EQ(static_cast<int>(head.size()), ParseHttpRequest(head + "next", request));
    EXPECT_EQ("/api/1/ticker/btc_jpy", request.target);
    ASSERT_NE(nullptr, request.Header("cookie"));
    EXPECT_EQ("a=b; Path=/", *request.Header("cookie"));
    EXPECT_TRUE(request.WantsKeepAlive());

    EXPECT_EQ(0, ParseHttpRequest(head.substr(0, head.size() - 1), request));
    EXPECT_EQ(-1, ParseHttpRequest("GET /x HTTP/1.0\r\nHost : x\r\n\r\n", request)) << "blank before the colon";
    EXPECT_EQ(-1, ParseHttpRequest("GET /x\r\n\r\n", request));
    EXPECT_EQ(-1, ParseHttpRequest("GET /x HTTP/1.0\r\nNoColon\r\n\r\n", request));
    EXPECT_EQ(-1, ParseHttpRequest("GET /x HTTP/1.0\r\nA: " + std::string(kMaxRequestHead, 'a'), request))
        << "an endless head is refused before its end comes";

    ASSERT_GT(ParseHttpRequest("GET / HTTP/1.0\r\n\r\n", request), 0);
    EXPECT_FALSE(request.WantsKeepAlive());
    ASSERT_GT(ParseHttpRequest("GET / HTTP/1.1\r\nConnection: te, close\r\n\r\n", request), 0);
    EXPECT_FALSE(request.WantsKeepAlive());
    ASSERT_GT(ParseHttpRequest("GET / HTTP/1.1\r\n\r\n", request), 0);
    EXPECT_TRUE(request.WantsKeepAlive());
}

TEST(FaultModesTest, ListsParseOnlyForTheirListener) {
    CFaultSet faults;
    std::string error;
    ASSERT_TRUE(ParseFaultList("fragment=4,ping,masked", kStreamSession, faults, error)) << error;
    EXPECT_TRUE(faults.Has(kFaultFragment));
    EXPECT_EQ(4, faults.Arg(kFaultFragment));
    EXPECT_EQ(1, faults.Arg(kFaultPing)) << "the default number";
    EXPECT_FALSE(faults.Has(kFaultSmall));
    EXPECT_EQ("fragment=4,masked,ping", faults.ToString());

    EXPECT_FALSE(ParseFaultList("fragment", kRestSession, faults, error));
    EXPECT_NE(std::string::npos, error.find("does not apply"));
    EXPECT_TRUE(faults.Has(kFaultFragment)) << "a refused list leaves the set as it was";
    EXPECT_FALSE(ParseFaultList("chunked=-1", kRestSession, faults, error));
    EXPECT_FALSE(ParseFaultList("chunked=2x", kRestSession, faults, error));
    EXPECT_FALSE(ParseFaultList("close,,eof", kRestSession, faults, error));
    EXPECT_FALSE(ParseFaultList("Close", kRestSession, faults, error));
    ASSERT_TRUE(ParseFaultList("none", kRestSession, faults, error));
    EXPECT_TRUE(faults.Empty());
}

TEST(MarketModelTest, CompactMessagesStayShortAndPinsHold) {
    CMarketModel model(3);
    const std::string longPair(32, 'z');
    ASSERT_TRUE(model.Pin(longPair, 999999999.0));
    const std::string compact = model.StreamMessage(longPair, 4294967295UL, true);
    EXPECT_LT(compact.size(), 126u) << compact;
    EXPECT_EQ(0u, compact.find("{\"seq\":4294967295,"));
    EXPECT_NE(std::string::npos, compact.find("\"price\":999999999.0}"));
    EXPECT_NE(std::string::npos, model.RestDocument("ticker", longPair).find("\"last\":999999999.0,"));

    EXPECT_FALSE(model.Pin("btc_jpy", 0));
    EXPECT_FALSE(model.Pin("btc_jpy", -1));
    EXPECT_EQ("", model.RestDocument("balance", "btc_jpy"));
    EXPECT_FALSE(model.FreezeClock("2018-13-01T00:00:00Z"));
    EXPECT_FALSE(model.FreezeClock("soon"));
}

TEST(MarketModelTest, TheTableOfPairsIsBounded) {
    CMarketModel model(1);
    for (size_t i = 0; i < CMarketModel::kMaxPairs; i++)
        ASSERT_FALSE(model.RestDocument("ticker", "p" + std::to_string(i)).empty());
    EXPECT_EQ("", model.RestDocument("ticker", "one_more"));
    EXPECT_FALSE(model.RestDocument("ticker", "p0").empty()) << "known pairs are still served";
}

TEST(MarketModelTest, PaddingGivesTheExactSizeAndStaysAnObject) {
    for (size_t size : {30u, 31u, 1000u}) {
        std::string document = "{\"a\":1}";
        PadDocument(document, size);
        EXPECT_EQ(size, document.size());
        EXPECT_EQ("{\"a\":1,\"pad\":\"", document.substr(0, 14));
        EXPECT_EQ("\"}", document.substr(size - 2));
    }
    std::string tooSmall = "{\"a\":1}";
    PadDocument(tooSmall, 3);
    EXPECT_EQ("{\"a\":1}", tooSmall) << "never cut";
}

TEST(SimOptionsTest, CommandLines) {
    const char* good[] = {"sim", "--make-certs", "d",   "--pin=btc_jpy=5", "--rest-port",
                          "0",   "--rate",       "0.5", "--pacing",        "random"};
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(10, good, options, error)) << error;
    EXPECT_TRUE(options.randomPacing);
    ASSERT_EQ(1u, options.pins.size());
    EXPECT_EQ("btc_jpy", options.pins[0].first);
    EXPECT_EQ(5.0, options.pins[0].second);
    EXPECT_EQ(0, options.restPort);
    EXPECT_EQ(8888, options.streamPort);
    EXPECT_EQ((std::vector<std::string>{"localhost", "127.0.0.1"}), options.hosts);

    const std::vector<std::vector<const char*>> bad = {
        {"sim", "--make-certs"},
        {"sim", "--make-certs", "d", "--rest-port", "65536"},
        {"sim", "--make-certs", "d", "--rate", "0"},
        {"sim", "--make-certs", "d", "--pacing", "poisson"},
        {"sim", "--make-certs", "d", "--pin", "btc_jpy"},
        {"sim", "--make-certs", "d", "--pin", "BTC=5"},
        {"sim", "--make-certs", "d", "--dir", "api"},
        {"sim", "--cert", "c"},
        {"sim", "--make-certs", "d", "--cert", "c", "--key", "k"},
        {"sim", "--help=yes"},
    };
    for (const auto& args : bad) {
        SimOptions refused;
        EXPECT_FALSE(ParseSimOptions(static_cast<int>(args.size()), args.data(), refused, error)) << args.back();
    }
}

}  // namespace
