#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CHttpsPublicThread.h"
#include "HeldClock.h"
#include "support/WorkerTestBed.h"

// The REST worker against scripted TLS servers on loopback: each test's
// server plays one behaviour of the exchange, and the values reach a window
// that stands where the core's stands.

namespace {

using Connection = TlsTestServer::Connection;

std::string Body(int last) {
    return "{\"last\":" + std::to_string(last) + ",\"timestamp\":\"2018-03-18T12:34:56.789\"}";
}

// The worker's request text without starting it.
std::string RequestFor(const char* topic, const char* cookie = "") {
    CHttpsPublicThread worker;
    strcpy(worker.apiDir, "/api/1/");
    strcpy(worker.host, "coin.example.jp");
    snprintf(worker.cookie, sizeof(worker.cookie), "%s", cookie);
    worker.SetTopic(topic);
    char buffer[CHttpsThread::kRequestSize] = {};
    worker.MakeRequest(buffer);
    return buffer;
}

class PublicThreadTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_GE(WorkerTestBed::StopAndWait(worker, 10000), 0) << "the worker did not end"; }

    // Starts the worker on server; the stopper it returns stops the worker
    // before that server goes, whichever way the test leaves.
    WorkerStopper StartOn(TlsTestServer& server) { return StartOn(worker, server); }
    WorkerStopper StartOn(CHttpsPublicThread& someWorker, TlsTestServer& server) {
        someWorker.SetServer("localhost", server.Port());
        bed.Start(someWorker, "ticker.btc_jpy.h", {"last"});
        return WorkerStopper(someWorker);
    }

    // A server that numbers its connections from 1 and hands each to script
    // once its first request is in (and noted).
    std::unique_ptr<TlsTestServer> ServeEach(std::function<void(Connection&, int number)> script,
                                             TlsTestServer::Options options = TlsTestServer::Options()) {
        return bed.Serve(
            [this, script](Connection& c) {
                int number = ++connections;
                Note(ReadRequest(c));
                script(c, number);
            },
            options);
    }

    std::vector<std::string> Values(size_t count, DWORD limitMs) {
        return WorkerTestBed::ValuesOf(bed.window.WaitFor(count, limitMs));
    }

    // Records every request the server read, across connections.
    void Note(const std::string& request) {
        std::lock_guard<std::mutex> guard(lock);
        requests.push_back(request);
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> guard(lock);
        return requests;
    }
    // For a case that starts over with a server of its own.
    void ForgetConnections() {
        std::lock_guard<std::mutex> guard(lock);
        requests.clear();
        connections = 0;
    }

    WorkerTestBed bed;
    CHttpsPublicThread worker;
    std::mutex lock;
    std::vector<std::string> requests;
    std::atomic<int> connections{0};
};

}  // namespace

TEST(PublicThreadRequest, ExactText) {
    EXPECT_EQ(
        "GET /api/1/ticker/btc_jpy HTTP/1.0\r\nHost: coin.example.jp\r\nCookie: \r\n"
        "Connection: keep-alive\r\n\r\n",
        RequestFor("ticker.btc_jpy.h"));
    EXPECT_EQ(0u, RequestFor("a.b.c.h").find("GET /api/1/a/b HTTP/1.0\r\n")) << "only two segments";
    EXPECT_EQ(0u, RequestFor("depth").find("GET /api/1/depth/ HTTP/1.0\r\n")) << "no dot at all";
    EXPECT_NE(std::string::npos, RequestFor("ticker.btc_jpy.h", " s=1; path=/").find("\r\nCookie:  s=1; path=/\r\n"))
        << "the cookie goes back as it came, leading blank included";
}

// A request cut at 1023 bytes would never end its header block and the
// server would wait for the rest; without the cookie it still fits.
TEST(PublicThreadRequest, CookieTooLongForTheRequestIsLeftOut) {
    std::string request = RequestFor("ticker.btc_jpy.h", std::string(1000, 'c').c_str());
    EXPECT_NE(std::string::npos, request.find("\r\nCookie: \r\n"));
    EXPECT_EQ(request.size() - 4, request.find("\r\n\r\n"));
}

TEST_F(PublicThreadTest, CookieEchoedOnItsConnectionAndClearedWithIt) {
    auto server = ServeEach([&](Connection& c, int number) {
        if (number == 1) {
            // Only the first Set-Cookie line counts, whatever the case of its name.
            c.Write(HttpResponse(Body(1), "set-cookie: s=abc; Path=/\r\nSet-Cookie: t=2\r\n"));
            Note(ReadRequest(c));
            c.Write(HttpResponse(Body(2), "Connection: close\r\n"));
            c.CloseCleanly();
            return;
        }
        c.Write(HttpResponse(Body(3)));
        c.HoldUntilClosed();
    });
    bed.settings.polling_interval = 1;
    auto stopper = StartOn(*server);
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), Values(3, 8000));
    auto seen = Requests();
    ASSERT_EQ(3u, seen.size());
    EXPECT_NE(std::string::npos, seen[0].find("\r\nCookie: \r\n"));
    EXPECT_NE(std::string::npos, seen[1].find("\r\nCookie:  s=abc; Path=/\r\n"));
    EXPECT_NE(std::string::npos, seen[2].find("\r\nCookie: \r\n")) << "a new connection starts without a cookie";
    EXPECT_EQ(0u, seen[2].find("GET /api/1/ticker/btc_jpy HTTP/1.0\r\nHost: localhost\r\n"));
}

// A closed connection must be noticed: publishing the last response again
// would show an old price as if it were new, for ever.
TEST_F(PublicThreadTest, ServerCloseIsNoticedAndTheOldResponseNotPublishedAgain) {
    for (bool clean : {true, false}) {
        SCOPED_TRACE(clean ? "close notify" : "bare TCP close");
        ForgetConnections();
        auto server = ServeEach([&](Connection& c, int number) {
            c.Write(HttpResponse(Body(number)));
            if (number > 1) return c.HoldUntilClosed();
            // Keep-alive promised, then the server goes away.
            if (clean) return c.CloseCleanly();
            shutdown(c.Socket(), 1);
            c.HoldFor(3000);
        });
        CHttpsPublicThread local;
        auto stopper = StartOn(local, *server);
        auto values = Values(2, 8000);
        Sleep(1500);
        auto later = WorkerTestBed::ValuesOf(bed.window.Take());
        values.insert(values.end(), later.begin(), later.end());
        EXPECT_GE(WorkerTestBed::StopAndWait(local, 5000), 0);
        ASSERT_GE(values.size(), 2u);
        EXPECT_EQ("1", values[0]);
        for (size_t i = 1; i < values.size(); ++i)
            EXPECT_EQ("2", values[i]) << "value " << i;
        EXPECT_EQ(2, connections.load());
    }
}

// The request asks for a whole response, not for 65535 bytes: a cycle ends
// when the response is complete, so cells update every polling interval
// and not every interval plus the time-out.
TEST_F(PublicThreadTest, CycleLastsTheIntervalNotTheTimeout) {
    std::atomic<int> answered{0};
    auto server = bed.Serve([&](Connection& c) {
        while (!ReadRequest(c).empty())
            c.Write(HttpResponse(Body(++answered)));
    });
    bed.settings.polling_interval = 1;
    bed.settings.tmout_ms = 20000;
    worker.tickCount = HeldClock::Read;
    auto stopper = StartOn(*server);
    ASSERT_EQ(1u, bed.window.WaitFor(1, 10000).size());
    // The interval passes only when the test moves the clock; the response
    // must then come within half the time-out.
    for (int cycle = 2; cycle <= 4; ++cycle) {
        EXPECT_TRUE(HeldClock::AwaitReads(3));
        EXPECT_TRUE(bed.window.Take().empty()) << "polled again within the interval";
        HeldClock::Advance(1000);
        EXPECT_EQ((std::vector<std::string>{std::to_string(cycle)}), Values(1, 10000));
    }
}

TEST_F(PublicThreadTest, ChunkedAndCloseDelimitedResponsesArePublishedWhole) {
    auto server = ServeEach([&](Connection& c, int number) {
        if (number == 1) {
            c.Write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n{\"last\r\n");
            c.HoldFor(300);
            c.Write("5\r\n\":11}\r\n0\r\n\r\n");
            c.HoldUntilClosed();  // the worker keeps the connection
            return;
        }
        c.Write("HTTP/1.0 200 OK\r\n\r\n{\"last\":12}");
        c.CloseCleanly();
    });
    bed.settings.polling_interval = 1;
    auto stopper = StartOn(*server);
    // The first connection is kept: the second request goes on it and gets
    // nothing more, so the time-out ends it and the next connection serves.
    EXPECT_EQ((std::vector<std::string>{"11", "12"}), Values(2, 9000));
}

TEST_F(PublicThreadTest, NoResponseWithinTheTimeoutReconnectsWithoutPublishing) {
    auto server = ServeEach([&](Connection& c, int number) {
        if (number == 1) {
            c.Write("HTTP/1.0 200 OK\r\nContent-Length: 40\r\n\r\n{\"last\":");  // and nothing more
            c.HoldUntilClosed();
            return;
        }
        c.Write(HttpResponse(Body(7)));
        c.HoldUntilClosed();
    });
    bed.settings.tmout_ms = 800;
    auto stopper = StartOn(*server);
    EXPECT_EQ((std::vector<std::string>{"7"}), Values(1, 6000)) << "nothing from the stalled response";
    EXPECT_EQ(2, connections.load());
}

TEST_F(PublicThreadTest, ConnectionCloseInAnyCaseEndsTheConnection) {
    auto server = ServeEach([&](Connection& c, int number) {
        c.Write(HttpResponse(Body(number), "Connection: Close\r\n"));
        c.HoldUntilClosed();  // the server leaves closing to the client
    });
    auto stopper = StartOn(*server);
    EXPECT_EQ(2u, bed.window.WaitFor(2, 8000).size());
    EXPECT_EQ(2, connections.load());
}

// With the network down every connect fails at once; the worker must wait
// between attempts instead of spinning a core.
TEST_F(PublicThreadTest, FailedConnectsAreSpacedByTheInterval) {
    TlsTestServer::Options bare;
    bare.handshake = false;
    auto server = bed.Serve([](Connection&) {}, bare);  // accepts and closes: the handshake fails
    bed.settings.polling_interval = 1;
    worker.tickCount = HeldClock::Read;
    auto stopper = StartOn(*server);
    ASSERT_TRUE(WaitUntil([&] { return server->Accepted() > 0; }, 10000));
    std::string why;
    EXPECT_TRUE(NextConnectionAfter(*server, 1000, &why)) << why;
    EXPECT_TRUE(bed.window.Take().empty());
    std::string failed = "localhost:" + std::to_string(server->Port()) + " 接続失敗（TLSハンドシェイク失敗）\r\n";
    EXPECT_EQ(std::vector<std::string>{failed}, bed.directory.LogMessages()) << "the run's first attempt, logged once";
}

// The stop comes once the request is in, so the worker is reading. The
// time-out is long, so that a worker which waits it out shows against the
// bound, which also stays well short of the 10 s the trickle lasts.
TEST_F(PublicThreadTest, StopEndsTheWorkerWithinTheTimeoutWhateverTheServerDoes) {
    struct Case {
        const char* what;
        TlsTestServer::Handler handler;  // once the request is in
    };
    const Case cases[] = {
        {"stalled after the request", [](Connection& c) { c.HoldUntilClosed(); }},
        {"stalled mid-body",
         [](Connection& c) {
             c.Write("HTTP/1.0 200 OK\r\nContent-Length: 900\r\n\r\n{\"last\":");
             c.HoldUntilClosed();
         }},
        // Only the end of the connection ends this body: a read cut short
        // by the stop must not pass for it.
        {"stalled mid-body without a length",
         [](Connection& c) {
             c.Write("HTTP/1.0 200 OK\r\n\r\n{\"last\":1234,\"bid\":");
             c.HoldUntilClosed();
         }},
        {"trickling a byte at a time",
         [](Connection& c) {
             c.Write("HTTP/1.0 200 OK\r\n");
             for (int i = 0; i < 200 && c.Write("X"); ++i)
                 c.HoldFor(50);
         }},
    };
    bed.settings.tmout_ms = 20000;
    for (const Case& c : cases) {
        ForgetConnections();
        auto server = ServeEach([&](Connection& connection, int) { c.handler(connection); });
        CHttpsPublicThread local;
        auto stopper = StartOn(local, *server);
        EXPECT_TRUE(WaitUntil([&] { return !Requests().empty() && !Requests()[0].empty(); }, 10000)) << c.what;
        int took = WorkerTestBed::StopAndWait(local, 10000);
        EXPECT_GE(took, 0) << c.what;
        EXPECT_LE(took, 5000) << c.what;
        EXPECT_TRUE(bed.window.Take().empty()) << c.what;
    }
}

TEST_F(PublicThreadTest, PausedWorkerLetsGoOfItsConnectionAndResumes) {
    std::atomic<int> connections{0};
    std::atomic<bool> closedByClient{false};
    auto server = bed.Serve([&](Connection& c) {
        ++connections;
        while (!ReadRequest(c, 10000).empty())
            c.Write(HttpResponse(Body(connections)));
        closedByClient = true;
    });
    auto stopper = StartOn(*server);
    ASSERT_EQ(1u, bed.window.WaitFor(1, 5000).size());
    worker.paused = true;
    EXPECT_TRUE(WaitUntil([&] { return closedByClient.load(); }, 5000));
    bed.window.Take();
    Sleep(2000);
    EXPECT_TRUE(bed.window.Take().empty()) << "a paused worker publishes nothing";
    EXPECT_EQ(1, connections.load());
    worker.paused = false;
    EXPECT_EQ((std::vector<std::string>{"2"}), Values(1, 5000));
}
