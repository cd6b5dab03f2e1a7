// The REST side of exchange-sim, from the outside: the real binary on
// ephemeral ports, a TLS client that trusts the CA it wrote.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "FaultModes.h"
#include "SimHarness.h"

namespace {

const char kFrozen[] = "2018-03-18T12:34:56.789Z";

// The request exactly as the polling worker sends it: HTTP/1.0, keep-alive,
// a Cookie header even when it has nothing to echo.
std::string WorkerRequest(const std::string& path, const std::string& cookie = "") {
    return "GET " + path + " HTTP/1.0\r\nHost: localhost\r\nCookie: " + cookie + "\r\nConnection: keep-alive\r\n\r\n";
}

// The text of a scalar member, "" when there is none.
std::string Field(const std::string& body, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const size_t at = body.find(key);
    if (at == std::string::npos) return "";
    const size_t start = at + key.size();
    return body.substr(start, body.find_first_of(",}]", start) - start);
}

class RestTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> extra) {
        sim.reset(new ExchangeSimProcess(extra));
        ASSERT_TRUE(sim->Started()) << sim->Log();
    }
    // Starts the simulator and connects one client to its REST port.
    std::unique_ptr<TlsClient> StartConnected(std::vector<std::string> extra) {
        Start(std::move(extra));
        return Connect();
    }
    std::unique_ptr<TlsClient> Connect() {
        std::unique_ptr<TlsClient> client(new TlsClient(sim->RestPort(), sim->CaFile()));
        EXPECT_TRUE(client->Connected());
        return client;
    }
    HttpResponse Get(TlsClient& client, const std::string& path, const std::string& cookie = "") {
        HttpResponse response;
        EXPECT_TRUE(client.Write(WorkerRequest(path, cookie)));
        EXPECT_TRUE(ReadHttpResponse(client, response, 10000)) << response.head << sim->Log();
        return response;
    }
    std::unique_ptr<ExchangeSimProcess> sim;
};

TEST_F(RestTest, KeptAliveConnectionServesDocumentsAndSeesTheCookieComeBack) {
    auto client = StartConnected({"--pin", "btc_jpy=1234567", "--freeze-clock", kFrozen});
    const HttpResponse first = Get(*client, "/api/1/ticker/btc_jpy");
    EXPECT_EQ(200, first.status);
    EXPECT_EQ("keep-alive", first.Header("Connection"));
    EXPECT_EQ("1234567.0", Field(first.body, "last"));
    EXPECT_EQ(std::string("\"") + kFrozen + "\"", Field(first.body, "timestamp"));
    for (const char* name : {"high", "low", "vwap", "volume", "bid", "ask"})
        EXPECT_FALSE(Field(first.body, name).empty()) << name << " in " << first.body;
    // Content-Length is exact: the body is one whole object, and the next
    // response on the connection starts right after it.
    EXPECT_EQ('{', first.body.front());
    EXPECT_EQ('}', first.body.back());
    const std::string setCookie = first.Header("Set-Cookie");
    ASSERT_EQ(0u, setCookie.find("vornsim=")) << first.head;

    // The worker echoes the whole line after "Set-Cookie:", leading blank and
    // attributes included.
    const HttpResponse second = Get(*client, "/api/1/ticker/btc_jpy", " " + setCookie);
    EXPECT_EQ(200, second.status);
    EXPECT_EQ("", second.Header("Set-Cookie")) << "the cookie is set once per connection";
    EXPECT_TRUE(sim->WaitForLog("cookie echoed", 2000)) << sim->Log();

    Get(*client, "/api/1/ticker/btc_jpy");
    EXPECT_TRUE(sim->WaitForLog("cookie NOT echoed", 2000)) << sim->Log();
    EXPECT_NE(std::string::npos, sim->Log().find("rest: GET /api/1/ticker/btc_jpy HTTP/1.0"));
}

TEST_F(RestTest, EveryFunctionHasItsShapeAndUnpinnedPricesMove) {
    auto client = StartConnected({"--seed", "7"});
    const HttpResponse depth = Get(*client, "/api/1/depth/eth_jpy");
    EXPECT_TRUE(std::regex_search(
        depth.body, std::regex(R"re(^\{"asks":\[\[[0-9.]+,[0-9.]+\](,\[[0-9.]+,[0-9.]+\])*\],"bids":\[\[)re")))
        << depth.body;
    EXPECT_TRUE(
        std::regex_search(depth.body, std::regex(R"re("timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\}$)re")))
        << depth.body;
    const HttpResponse trades = Get(*client, "/api/1/trades/eth_jpy");
    EXPECT_EQ('[', trades.body.front());
    EXPECT_FALSE(Field(trades.body, "tid").empty());
    EXPECT_NE(std::string::npos, trades.body.find("\"currency_pair\":\"eth_jpy\""));

    std::set<std::string> prices;
    for (int i = 0; i < 5; i++)
        prices.insert(Field(Get(*client, "/api/1/last_price/eth_jpy").body, "last_price"));
    EXPECT_EQ(5u, prices.size()) << "every document takes a step of the walk";

    EXPECT_EQ(404, Get(*client, "/api/1/no_such/eth_jpy").status);
    EXPECT_EQ(404, Get(*client, "/api/1/ticker/BTC-JPY").status);
    EXPECT_EQ(404, Get(*client, "/api/2/ticker/btc_jpy").status);
    // Errors keep the connection: the worker polls on regardless.
    EXPECT_EQ(200, Get(*client, "/api/1/ticker/btc_jpy").status);
}

TEST_F(RestTest, SameSeedSameWalkAndAnotherDirectory) {
    std::string bodies[3];
    const char* seeds[3] = {"5", "5", "6"};
    for (int i = 0; i < 3; i++) {
        auto client = StartConnected({"--seed", seeds[i], "--freeze-clock", kFrozen, "--dir", "/v2/"});
        Get(*client, "/v2/ticker/mona_jpy");
        bodies[i] = Get(*client, "/v2/ticker/mona_jpy").body;
    }
    EXPECT_EQ(bodies[0], bodies[1]);
    EXPECT_NE(bodies[0], bodies[2]);
}

TEST_F(RestTest, ConnectionHeaderDecidesWhetherItStaysOpen) {
    auto client = StartConnected({});
    client->Write("GET /api/1/ticker/btc_jpy HTTP/1.0\r\nHost: localhost\r\n\r\n");
    HttpResponse response;
    ASSERT_TRUE(ReadHttpResponse(*client, response, 10000));
    EXPECT_EQ("close", response.Header("Connection"));
    std::string rest;
    EXPECT_EQ(0, client->ReadSome(rest, 5000)) << "a clean TLS close after an HTTP/1.0 answer";

    auto modern = Connect();
    modern->Write("GET /api/1/ticker/btc_jpy HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(ReadHttpResponse(*modern, response, 10000));
    EXPECT_EQ("", response.Header("Connection")) << "HTTP/1.1 stays open without saying so";
    EXPECT_EQ(200, Get(*modern, "/api/1/ticker/btc_jpy").status);
}

TEST_F(RestTest, ResponseFaults) {
    struct Case {
        const char* faults;
        int status;
        const char* connection;  // expected Connection header value
        int afterwards;          // what the client sees next: 0 clean close, -1 broken, 1 a second answer
    };
    // clang-format off
    const Case cases[] = {
        {"close",          200, "close",      0},
        {"no-connection",  200, "",           1},
        {"drop",           200, "keep-alive", 0},
        {"eof",            200, "keep-alive", -1},
        {"bad-status=503", 503, "keep-alive", 1},
        {"chunked=4",      200, "keep-alive", 1},
        {"reset=1",        200, "keep-alive", -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        auto client = StartConnected({"--rest-faults", c.faults});
        const HttpResponse response = Get(*client, "/api/1/ticker/btc_jpy");
        EXPECT_EQ(c.status, response.status);
        EXPECT_EQ(c.connection, response.Header("Connection"));
        // Look before asking again: a request written into a closed
        // connection could turn its clean close into a reset.
        std::string more;
        int next = client->ReadSome(more, 300);
        if (next == -2) {
            client->Write(WorkerRequest("/api/1/ticker/btc_jpy"));
            next = client->ReadSome(more, 5000);
        }
        EXPECT_EQ(c.afterwards, next) << more;
        if (std::string(c.faults) == "chunked=4") {
            EXPECT_EQ("", response.Header("Content-Length"));
            EXPECT_EQ('}', response.body.back());
            EXPECT_FALSE(Field(response.body, "last").empty()) << response.body;
        }
    }
}

TEST_F(RestTest, MixedCaseOversizeAndStallFaults) {
    auto client = StartConnected({"--rest-faults", "mixed-case,oversize=100000"});
    const HttpResponse response = Get(*client, "/api/1/ticker/btc_jpy");
    EXPECT_NE(std::string::npos, response.head.find("\r\nset-cookie: vornsim=")) << response.head;
    EXPECT_EQ(std::string::npos, response.head.find("Set-Cookie:"));
    EXPECT_NE(std::string::npos, response.head.find("\r\nCONNECTION: Keep-Alive\r\n")) << response.head;
    EXPECT_EQ(100000u, response.body.size());
    EXPECT_EQ("\"}", response.body.substr(response.body.size() - 2));
    EXPECT_FALSE(Field(response.body, "last").empty());

    client = StartConnected({"--rest-faults", "stall-body=20"});
    client->Write(WorkerRequest("/api/1/ticker/btc_jpy"));
    std::string got;
    EXPECT_TRUE(client->ReadExactly(20, got, 5000));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nSer", got);
    std::string more;
    EXPECT_EQ(-2, client->ReadSome(more, 700)) << "silent after the first 20 bytes: " << more;
}

TEST_F(RestTest, ControlFileRepinsPricesAndChangesFaultsOfLaterConnections) {
    auto client = StartConnected({"--pin", "btc_jpy=1000"});
    EXPECT_EQ("1000.0", Field(Get(*client, "/api/1/ticker/btc_jpy").body, "last"));

    sim->Control("# a test's control file\npin btc_jpy=42\nrest close\n");
    EXPECT_EQ("42.000", Field(Get(*client, "/api/1/ticker/btc_jpy").body, "last")) << "pins apply to the next document";
    EXPECT_EQ("keep-alive", Get(*client, "/api/1/ticker/btc_jpy").Header("Connection"))
        << "faults apply only to later connections";
    auto later = Connect();
    EXPECT_EQ("close", Get(*later, "/api/1/ticker/btc_jpy").Header("Connection"));

    // A broken file keeps what was in force.
    sim->Control("pin btc_jpy=7\nrest no-such-mode\n");
    EXPECT_EQ("42.000", Field(Get(*client, "/api/1/ticker/btc_jpy").body, "last"));
    EXPECT_TRUE(sim->WaitForLog("kept the previous settings", 2000));

    // Dropping the pin line gives the command line's pin back.
    sim->Control("\n");
    EXPECT_EQ("1000.0", Field(Get(*client, "/api/1/ticker/btc_jpy").body, "last"));
}

// 1 data, 0 closed, -2 nothing within ms.
int PeekTcp(int fd, int ms) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, ms) == 0) return -2;
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK) > 0 ? 1 : 0;
}

TEST_F(RestTest, StalledHandshakesHoldSilentlyAndSessionsAreBounded) {
    Start({"--rest-faults", "stall-accept"});
    std::vector<int> held;
    for (int i = 0; i < 64; i++) {
        held.push_back(ConnectTcp(sim->RestPort()));
        ASSERT_GE(held.back(), 0);
    }
    // A ClientHello's worth of bytes gets no answer and no close.
    EXPECT_EQ(5, write(held[0], "\x16\x03\x01\x00\x00", 5));
    EXPECT_EQ(-2, PeekTcp(held[0], 500));
    ASSERT_TRUE(sim->WaitForLog("#64 rest: stalled", 5000)) << sim->Log();
    const int extra = ConnectTcp(sim->RestPort());
    EXPECT_EQ(0, PeekTcp(extra, 5000)) << "the 65th connection is closed at once";
    EXPECT_TRUE(sim->WaitForLog("64 sessions already", 2000));
    close(extra);
    for (int fd : held)
        close(fd);
}

TEST_F(RestTest, TrickleSpreadsTheResponseOverTime) {
    auto client = StartConnected({"--rest-faults", "trickle=2"});
    const auto start = std::chrono::steady_clock::now();
    const HttpResponse response = Get(*client, "/api/1/last_price/btc_jpy");
    EXPECT_EQ(200, response.status);
    const size_t bytes = response.head.size() + response.body.size();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * (bytes - 1)));
}

TEST(SimProcessTest, TermAndIntEndItPromptlyWithOpenConnections) {
    for (int sig : {SIGTERM, SIGINT}) {
        ExchangeSimProcess sim({"--rest-faults", "stall-body=5"});
        ASSERT_TRUE(sim.Started());
        TlsClient rest(sim.RestPort(), sim.CaFile());
        TlsClient stream(sim.StreamPort(), sim.CaFile());
        rest.Write(WorkerRequest("/api/1/ticker/btc_jpy"));
        Upgrade(stream, "btc_jpy", "dGhlIHNhbXBsZSBub25jZQ==");
        ASSERT_TRUE(sim.WaitForLog("stalled after 5 bytes", 5000));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, sim.Stop(sig, 3000)) << sim.Log();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(SimProcessTest, CommandLineMistakesAreRefusedAndHelpListsEveryMode) {
    std::string output;
    EXPECT_EQ(0, ExchangeSimProcess::RunOnce({"--help"}, output));
    for (const FaultModeInfo& info : kFaultModes)
        EXPECT_NE(std::string::npos, output.find(std::string("\n  ") + info.name + " ")) << info.name;
    EXPECT_EQ(2, ExchangeSimProcess::RunOnce({"--make-certs", "/tmp/x", "--bogus"}, output));
    EXPECT_EQ(2, ExchangeSimProcess::RunOnce({"--make-certs", "/tmp/x", "--rest-faults", "fragment"}, output))
        << "a stream-only mode on the REST listener";
    EXPECT_EQ(2, ExchangeSimProcess::RunOnce({"--rest-port", "0"}, output)) << "no certificate";
    EXPECT_EQ(2, ExchangeSimProcess::RunOnce({"--make-certs", "/tmp/x", "--freeze-clock", "yesterday"}, output));
}

}  // namespace
