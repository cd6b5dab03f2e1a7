#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CHttpsThread.h"
#include "ClosedPort.h"
#include "HeldClock.h"
#include "ScopedTrustRoots.h"
#include "TempWorkingDirectory.h"
#include "ThreadCpuTime.h"
#include "TickCount.h"
#include "TlsTestServer.h"
#include "TrustedTestAuthority.h"
#include "TrustingContext.h"

// The connection runs against real TLS servers on 127.0.0.1 whose
// certificates come from a test authority that the client trusts as its
// ca_file, the way a user adds a private root.

namespace fs = std::filesystem;

namespace {

// Tick counters step in about 16 ms on Windows; a measured wait may look
// that much shorter than it was.
const DWORD kTickSlack = 40;

// A loaded machine or Wine may end a wait late by far more than that. An
// upper bound on a timed wait only has to tell a wait that ended from one
// that did not.
const DWORD kLateMs = 5000;

// Tests of what must not wait for the time-out make it this long and allow
// half of it.
const int kLongTimeoutMs = 20000;

using Connection = TlsTestServer::Connection;

void Hold(Connection& connection) {
    connection.HoldUntilClosed();
}

// Reads up to count bytes; what came, with the result in resultOut.
std::string ReceiveText(CHttpsThread& worker, int count, int* resultOut = nullptr) {
    std::string buffer(count, '\0');
    int result = worker.Receive(&buffer[0], count);
    if (resultOut) *resultOut = result;
    buffer.resize(result > 0 ? result : 0);
    return buffer;
}

// A server that takes the TCP connection and never shakes hands.
TlsTestServer::Options BareTcp() {
    TlsTestServer::Options options;
    options.handshake = false;
    return options;
}

class HttpsThreadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        authority = new TrustedTestAuthority();
        trustDir = authority->Folder().Path();
        trust = TrustingContext(authority->RootFile()).release();
    }

    static void TearDownTestSuite() {
        delete trust;
        trust = nullptr;
        delete authority;
        authority = nullptr;
    }

    void SetUp() override {
        client.timeoutMs = 3000;
        client.SetTrust(trust);
    }
    void TearDown() override { client.Disconnect(); }

    TestCertificate Issue(const std::vector<std::string>& names) { return authority->IssueServer(names); }

    // A server for localhost that runs handler.
    std::unique_ptr<TlsTestServer> Serve(TlsTestServer::Handler handler) {
        auto server = std::make_unique<TlsTestServer>(Issue({"localhost"}), std::move(handler));
        EXPECT_NE(0, server->Port());
        return server;
    }

    std::unique_ptr<TlsTestServer> ServeAndConnect(TlsTestServer::Handler handler) {
        auto server = Serve(std::move(handler));
        EXPECT_EQ(0, client.Connect("localhost", server->Port()));
        return server;
    }

    // Connects the client to a server that writes text, once it is written.
    std::unique_ptr<TlsTestServer> ConnectToWriter(const std::string& text) {
        auto written = std::make_shared<std::atomic<bool>>(false);
        auto server = ServeAndConnect([=](Connection& c) {
            *written = c.Write(text);
            Hold(c);
        });
        EXPECT_TRUE(WaitUntil([&] { return written->load(); }, 10000)) << "the bytes are waiting";
        return server;
    }

    // A worker of its own, for cases that each need a fresh run of failures.
    static std::unique_ptr<CHttpsThread> NewWorker(int timeoutMs) {
        auto worker = std::make_unique<CHttpsThread>();
        worker->timeoutMs = timeoutMs;
        worker->SetTrust(trust);
        return worker;
    }

    static TrustedTestAuthority* authority;
    static fs::path trustDir;
    static CTlsContext* trust;
    TempWorkingDirectory directory;
    CHttpsThread client;
};

TrustedTestAuthority* HttpsThreadTest::authority = nullptr;
fs::path HttpsThreadTest::trustDir;
CTlsContext* HttpsThreadTest::trust = nullptr;

void WriteFile(const fs::path& path, const std::string& text) {
    FILE* file = fopen(path.string().c_str(), "wb");
    ASSERT_NE(nullptr, file) << path;
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

}  // namespace

// --- Receive ---------------------------------------------------------------

// Reads that end without waiting for the time-out: the count is in, or the
// stream has ended. Servers that end a response by closing the TCP
// connection often skip the close notify; that is an end of the stream, not
// a broken connection.
TEST_F(HttpsThreadTest, ReceiveReturnsWhatCameWithoutWaitingForTheTimeout) {
    enum class End { kNone, kCloseNotify, kBareTcpClose };
    struct Case {
        const char* name;
        std::string written;
        int count;
        End end;
    };
    const Case cases[] = {
        {"the count is complete", "abcd", 4, End::kNone},
        {"close notify", "xyz", 10, End::kCloseNotify},
        {"bare TCP close", "xyz", 10, End::kBareTcpClose},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto worker = NewWorker(kLongTimeoutMs);
        auto server = Serve([&](Connection& connection) {
            connection.Write(c.written);
            if (c.end == End::kCloseNotify) connection.CloseCleanly();
            if (c.end == End::kBareTcpClose) shutdown(connection.Socket(), 1);
            Hold(connection);
        });
        ASSERT_EQ(0, worker->Connect("localhost", server->Port()));
        DWORD start = GetTickCount();
        int result;
        EXPECT_EQ(c.written, ReceiveText(*worker, c.count, &result));
        EXPECT_EQ((int)c.written.size(), result);
        if (c.end == End::kCloseNotify) {
            EXPECT_EQ(0, worker->Receive(&std::string(10, '\0')[0], 10)) << "nothing after the close";
        }
        EXPECT_LT(Since(start), kLongTimeoutMs / 2u) << "did not wait for the time-out";
    }
    EXPECT_TRUE(directory.LogMessages().empty()) << "an end of the stream is no error";
}

TEST_F(HttpsThreadTest, ReceiveJoinsBytesThatArriveInSeveralRecords) {
    auto server = ServeAndConnect([](Connection& c) {
        c.Write("ab");
        c.HoldFor(300);
        c.Write("c");
        c.HoldFor(100);
        c.Write("defgh");  // more than asked for: the rest stays for the next read
        Hold(c);
    });
    EXPECT_EQ("abcd", ReceiveText(client, 4));
    EXPECT_EQ("efgh", ReceiveText(client, 4));
}

TEST_F(HttpsThreadTest, ReceiveReturnsWhatCameWhenTheTimeRunsOut) {
    client.timeoutMs = 600;
    auto server = ConnectToWriter("ab");
    DWORD start = GetTickCount();
    EXPECT_EQ("ab", ReceiveText(client, 4));
    DWORD took = Since(start);
    EXPECT_GE(took + kTickSlack, 600u);
    EXPECT_LT(took, 600u + kLateMs);
    EXPECT_TRUE(directory.LogMessages().empty()) << "a quiet server is no error";
}

TEST_F(HttpsThreadTest, ReceiveWithZeroTimeoutReadsNothing) {
    auto server = ConnectToWriter("abcd");
    char buffer[8] = {};
    for (int timeoutMs : {0, -5}) {
        client.timeoutMs = timeoutMs;
        EXPECT_EQ(0, client.Receive(buffer, 4)) << timeoutMs;
        EXPECT_STREQ("", buffer) << timeoutMs;
    }
    client.timeoutMs = 3000;
    EXPECT_EQ("abcd", ReceiveText(client, 4)) << "the bytes were left for a later read";
}

// A connection that breaks mid-read fails the read, but only once the
// time-out is up; what came before the break does not count.
TEST_F(HttpsThreadTest, BrokenConnectionFailsOnlyAfterTheTimeoutAndIsLoggedOnce) {
    struct Case {
        const char* name;
        bool reset;  // else a corrupt record
        const char* logged;
    };
    const Case cases[] = {
    // Wine's recv answers a reset connection with 0, an orderly end of
    // stream, and OpenSSL then reports the peer as gone (a read of 0). The
    // corrupt record breaks a connection the same way on Wine.
#ifndef _WIN32
        {"reset", true, "SSL_ERROR_SYSCALL\r\n"},
#endif
        {"corrupt record", false, "SSL_ERROR_SSL\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempWorkingDirectory caseDirectory;
        auto worker = NewWorker(2000);  // the break comes well within it
        auto server = Serve([&](Connection& connection) {
            connection.Write("ab");
            connection.HoldFor(c.reset ? 200 : 100);
            if (c.reset) return connection.Reset();
            // A record header announcing application data, then noise where
            // the sealed payload belongs.
            std::string noise = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a');
            send(connection.Socket(), noise.data(), (int)noise.size(), 0);
            Hold(connection);
        });
        ASSERT_EQ(0, worker->Connect("localhost", server->Port()));
        // Unread bytes at the server make its close a reset on every system,
        // whatever becomes of the abortive linger.
        if (c.reset) worker->Send("unread");
        DWORD start = GetTickCount();
        char buffer[16];
        EXPECT_EQ(-1, worker->Receive(buffer, 10));
        DWORD took = Since(start);
        EXPECT_GE(took + kTickSlack, 2000u);
        EXPECT_LT(took, 2000u + kLateMs);
        EXPECT_EQ(std::vector<std::string>{c.logged}, caseDirectory.LogMessages());
    }
}

// A worker spends most of its life waiting here; a read loop that spins
// instead would burn a core per worker.
TEST_F(HttpsThreadTest, WaitingReceiveUsesNoMeasurableCpu) {
    client.timeoutMs = 1500;
    auto server = ServeAndConnect(Hold);
    double before = ThreadCpuMs();
    char buffer[16];
    EXPECT_EQ(0, client.Receive(buffer, 16));
    double used = ThreadCpuMs() - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, 300.0) << "of a 1500 ms wait";
}

TEST_F(HttpsThreadTest, SendWritesTheTextWithoutItsTerminator) {
    const std::string request = "GET /api/1/ticker/btc_jpy HTTP/1.0\r\n\r\n";
    std::string received;
    auto server = ServeAndConnect([&](Connection& c) {
        received = c.Read(request.size() + 1, 1000);  // one more than sent
        c.Write("ok");
        Hold(c);
    });
    EXPECT_EQ((int)request.size(), client.Send(request.c_str()));
    EXPECT_EQ("ok", ReceiveText(client, 2));
    EXPECT_EQ(request, received);
}

TEST_F(HttpsThreadTest, DisconnectSendsCloseNotifyAndReleasesEverything) {
    std::string afterClose = "unset";
    int closeError = 0;
    auto server = ServeAndConnect([&](Connection& c) {
        char byte;
        int result = SSL_read(c.Ssl(), &byte, 1);
        closeError = SSL_get_error(c.Ssl(), result);
        afterClose = result > 0 ? std::string(1, byte) : "";
    });
    client.Disconnect();
    EXPECT_EQ(nullptr, client.ssl);
    EXPECT_EQ(kInvalidSocket, client.sock);
    WaitUntil([&] { return server->HandlersDone() > 0; }, 5000);
    EXPECT_EQ("", afterClose);
    EXPECT_EQ(SSL_ERROR_ZERO_RETURN, closeError) << "the server saw a TLS close, not a dropped connection";
    client.Disconnect();  // a second time is harmless
}

// --- Connect ---------------------------------------------------------------

TEST_F(HttpsThreadTest, ConnectSendsTheHostNameAndWorksAgainAfterADisconnect) {
    std::mutex lock;
    std::vector<std::string> serverNames;
    auto server = Serve([&](Connection& c) {
        {
            std::lock_guard<std::mutex> guard(lock);
            serverNames.push_back(c.ServerName());
        }
        c.Write("hi");
        Hold(c);
    });
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("connection " + std::to_string(i + 1));
        ASSERT_EQ(0, client.Connect("localhost", server->Port()));
        EXPECT_STREQ("localhost", client.host);
        EXPECT_NE(nullptr, client.ssl);
        EXPECT_EQ("hi", ReceiveText(client, 2));
        client.Disconnect();
    }
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ((std::vector<std::string>(3, "localhost")), serverNames);
    EXPECT_TRUE(directory.LogMessages().empty());
}

TEST_F(HttpsThreadTest, AddressIsCheckedAgainstTheCertificateAddresses) {
    {
        TlsTestServer server(Issue({"127.0.0.1"}), Hold);
        EXPECT_EQ(0, client.Connect("127.0.0.1", server.Port()));
        client.Disconnect();
    }
    {
        TlsTestServer server(Issue({"localhost"}), Hold);
        EXPECT_EQ(-1, client.Connect("127.0.0.1", server.Port())) << "a name entry does not cover an address";
    }
}

// A worker retries an unreachable server every cycle; the user needs to
// learn once that it fails and why, and once that it works again, and a
// failure after that is news again. A failed connection leaves nothing open.
TEST_F(HttpsThreadTest, ARunOfConnectFailuresIsLoggedOnceWithItsReasonAndItsEnd) {
    ClosedPort closed;
    TlsTestServer silent(Issue({"localhost"}), Hold, BareTcp());
    TlsTestServer notTls(
        Issue({"localhost"}),
        [](Connection& c) {
            const char answer[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
            send(c.Socket(), answer, (int)sizeof(answer) - 1, 0);
            Hold(c);
        },
        BareTcp());
    // Certificates that do not prove the host.
    TlsTestServer wrongName(Issue({"exchange.example"}), Hold);
    TlsTestServer selfSigned(MakeSelfSignedCertificate({"localhost"}), Hold);
    TlsTestServer stranger(TestCertificateAuthority("Stranger CA").IssueServer({"localhost"}), Hold);
    TlsTestServer right(Issue({"localhost"}), Hold);
    ASSERT_NE(0, closed.Port());
    struct Case {
        const char* host;
        int port;
        const char* reason;
    };
    const Case cases[] = {
        {"no-such-host.invalid", 443, "接続失敗（名前解決できません）"},
        {"localhost", closed.Port(), "接続失敗（接続拒否）"},
        {"localhost", silent.Port(), "接続失敗（タイムアウト）"},
        {"localhost", notTls.Port(), "接続失敗（TLSハンドシェイク失敗）"},
        {"localhost", wrongName.Port(), "certificate verify failed: hostname mismatch"},
        {"localhost", selfSigned.Port(), "certificate verify failed: self-signed certificate"},
        {"localhost", stranger.Port(), "certificate verify failed: unable to get local issuer certificate"},
    };
    const std::string recovered = "localhost:" + std::to_string(right.Port()) + " 接続回復\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        TempWorkingDirectory caseDirectory;
        auto worker = NewWorker(700);
        for (int attempt = 0; attempt < 3; ++attempt) {
            EXPECT_EQ(-1, worker->Connect(c.host, c.port));
            EXPECT_EQ(nullptr, worker->ssl);
            EXPECT_EQ(kInvalidSocket, worker->sock);
        }
        EXPECT_EQ(-1, worker->Connect("localhost", closed.Port())) << "a new reason within the run stays quiet";
        std::string failed = std::string(c.host) + ":" + std::to_string(c.port) + " " + c.reason + "\r\n";
        EXPECT_EQ(std::vector<std::string>{failed}, caseDirectory.LogMessages());
        for (int attempt = 0; attempt < 2; ++attempt) {
            ASSERT_EQ(0, worker->Connect("localhost", right.Port()));
            worker->Disconnect();
        }
        EXPECT_EQ((std::vector<std::string>{failed, recovered}), caseDirectory.LogMessages());
        for (int attempt = 0; attempt < 2; ++attempt)
            EXPECT_EQ(-1, worker->Connect(c.host, c.port));
        EXPECT_EQ((std::vector<std::string>{failed, recovered, failed}), caseDirectory.LogMessages())
            << "the next run is news, once";
    }
}

// What the server trusts is the system's roots and its ca_file, and nothing
// that someone other than the user could put in its way: not the variables
// OpenSSL reads elsewhere, and not a file that holds no root.
TEST_F(HttpsThreadTest, TrustComesFromTheSystemAndTheCaFileAlone) {
    const std::string root = authority->RootFile();
    const std::string bundle = (trustDir / "bundle.pem").string();
    const std::string noRoots = (trustDir / "no-roots.pem").string();
    const std::string missing = (trustDir / "missing.pem").string();
    WriteFile(bundle, TestCertificateAuthority("Other CA").RootPem() + authority->Authority().RootPem());
    WriteFile(noRoots, "not a certificate\r\n");
    // Where OpenSSL would look by default, our root sits in plain view.
    ScopedTrustRoots environment(root, trustDir.string());
    struct Case {
        std::string caFile;
        bool connects;
        std::string logged;  // the context's line, if any
    };
    const Case cases[] = {
        {root, true, "ca_file " + root + " の証明書 1 件を信頼"},
        {bundle, true, "ca_file " + bundle + " の証明書 2 件を信頼"},
        {"", false, ""},
        {missing, false, "ca_file " + missing + " を読めません"},
        {noRoots, false, "ca_file " + noRoots + " に証明書がありません"},
    };
    TlsTestServer server(Issue({"localhost"}), Hold);
    const std::string refused = "localhost:" + std::to_string(server.Port()) +
                                " certificate verify failed: unable to get local issuer certificate\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caFile);
        TempWorkingDirectory caseDirectory;
        CTlsContext context;
        ASSERT_TRUE(context.Create(c.caFile.c_str()));
        CHttpsThread worker;
        worker.timeoutMs = 3000;
        worker.SetTrust(&context);
        EXPECT_EQ(c.connects ? 0 : -1, worker.Connect("localhost", server.Port()));
        std::vector<std::string> expected;
        if (!c.logged.empty()) expected.push_back(c.logged + "\r\n");
        if (!c.connects) expected.push_back(refused);
        EXPECT_EQ(expected, caseDirectory.LogMessages());
    }
}

// Failures before any TCP connection stood: they fail at once and leave
// nothing open, and no host is named.
TEST_F(HttpsThreadTest, ConnectFailuresBeforeAConnectionLeaveNothingOpen) {
    int gonePort;
    {
        TlsTestServer gone(Issue({"localhost"}), Hold);
        gonePort = gone.Port();
    }
    struct Case {
        const char* name;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"nothing listens there any more", "localhost", gonePort},
        {"port 0", "localhost", 0},
        {"port out of range", "localhost", 70000},
        {"a name that does not resolve", "no-such-host.invalid", 443},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto worker = NewWorker(kLongTimeoutMs);
        DWORD start = GetTickCount();
        EXPECT_EQ(-1, worker->Connect(c.host, c.port));
        EXPECT_LT(Since(start), kLongTimeoutMs / 2u);
        EXPECT_EQ(nullptr, worker->ssl);
        EXPECT_EQ(kInvalidSocket, worker->sock);
        EXPECT_STREQ("", worker->host) << "host names only a connection that stood";
    }
}

TEST_F(HttpsThreadTest, WithoutAContextEveryConnectionFails) {
    TlsTestServer server(Issue({"localhost"}), Hold);
    CHttpsThread worker;
    EXPECT_EQ(-1, worker.Connect("localhost", server.Port()));
    EXPECT_EQ(nullptr, worker.ssl);
    EXPECT_EQ(kInvalidSocket, worker.sock);
}

TEST_F(HttpsThreadTest, HandshakeWithASilentServerEndsAfterTheTimeout) {
    TlsTestServer server(Issue({"localhost"}), Hold, BareTcp());
    client.timeoutMs = 700;
    DWORD start = GetTickCount();
    EXPECT_EQ(-1, client.Connect("localhost", server.Port()));
    DWORD took = Since(start);
    EXPECT_GE(took + kTickSlack, 700u);
    EXPECT_LT(took, 700u + kLateMs);
    EXPECT_EQ(1, server.Accepted()) << "the TCP connection stood; the handshake hung";
    EXPECT_EQ(nullptr, client.ssl);
}

TEST_F(HttpsThreadTest, StopEndsAHangingHandshakeEarly) {
    TlsTestServer server(Issue({"localhost"}), Hold, BareTcp());
    client.timeoutMs = kLongTimeoutMs;
    std::thread stopper([&] {
        WaitUntil([&] { return server.Accepted() > 0; }, 10000);
        client.Stop();
    });
    DWORD start = GetTickCount();
    EXPECT_EQ(-1, client.Connect("localhost", server.Port()));
    EXPECT_LT(Since(start), kLongTimeoutMs / 2u);
    stopper.join();
    EXPECT_TRUE(directory.LogMessages().empty()) << "a stop is no failure of the server";
}

// --- WaitSeconds -------------------------------------------------------------
// These hold the worker's clock: the wait's time passes only when the test
// moves it, and the clock's reads show the wait going round its steps.

TEST(CHttpsThreadWait, WaitSecondsEndsAtTheNextStepAfterStop) {
    CHttpsThread worker;
    worker.tickCount = HeldClock::Read;  // the five seconds never pass
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        worker.WaitSeconds(5);
        returned = true;
    });
    EXPECT_TRUE(HeldClock::AwaitReads(2)) << "the wait never looked at its clock";
    int readsAtStop = HeldClock::Reads();
    worker.Stop();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 10000)) << "the stop was not seen";
    EXPECT_LE(HeldClock::Reads() - readsAtStop, 1) << "the stop is seen at the end of the step under way";
    HeldClock::Advance(5000);  // ends a wait that missed the stop
    waiter.join();
}

// A wait that began would read its clock; none of these may begin one.
TEST(CHttpsThreadWait, WaitSecondsReturnsAtOnceWhenThereIsNothingToWaitFor) {
    CHttpsThread worker;
    worker.tickCount = HeldClock::Read;
    int reads = HeldClock::Reads();
    worker.WaitSeconds(0);
    worker.WaitSeconds(-3);
    worker.Stop();
    worker.WaitSeconds(5);
    EXPECT_EQ(reads, HeldClock::Reads());
}

TEST(CHttpsThreadWait, WaitSecondsWaitsTheWholeTime) {
    // From an ordinary count, and from one that wraps during the wait.
    for (DWORD startedAt : {100000u, 0xFFFFFFFFu - 300}) {
        CHttpsThread worker;
        worker.tickCount = HeldClock::Read;
        HeldClock::Set(startedAt);
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            worker.WaitSeconds(1);
            returned = true;
        });
        EXPECT_TRUE(HeldClock::AwaitReads(3)) << startedAt;
        HeldClock::Advance(999);
        HeldClock::AwaitReads(3);
        EXPECT_FALSE(returned) << startedAt;
        HeldClock::Advance(1);
        EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 10000)) << startedAt;
        worker.Stop();  // ends a wait that missed its time
        waiter.join();
    }
}
