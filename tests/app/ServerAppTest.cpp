// The application core as the running server drives it: DDE links come in
// through a DDEML client, the four application messages pass the hidden
// window's queue, and workers run for real (against a loopback TLS server
// where their data matters, against a closed port where it does not).
#include <shellapi.h>

#include "FillQueue.h"
#include "RecordingWindow.h"
#include "HeldClock.h"
#include "ServerAppFixture.h"
#include "TlsTestServer.h"
#include "TrustedTestAuthority.h"
#include "Waiting.h"

#include <thread>

namespace fs = std::filesystem;

TEST_F(ServerAppTest, FirstLinkOnAPolledTopicPublishesThePlaceholderAndStartsSlotZero) {
    HCONV conv = Link("ticker.btc_jpy.h", "last");

    EXPECT_EQ((std::vector<std::string>{std::string("-", 2)}), client->Take(conv, "last", 1, kWaitMs));
    EXPECT_EQ(1u, Count(Log(), "ticker.btc_jpy.hスレッド生成\r\n"));
    EXPECT_EQ(1, app->publicCount);
    EXPECT_EQ(0, app->realtimeCount);
    EXPECT_EQ("ticker.btc_jpy.h", app->publicWorkers[0].GetTopic());
    EXPECT_EQ((std::vector<std::string>{"last"}), ItemsOf(app->publicWorkers[0]));
    EXPECT_NE(CThread::kNoThread, app->publicWorkers[0].thread);
    // The host from the configuration; the port as it was.
    EXPECT_EQ("localhost", std::string(app->publicWorkers[0].serverHost));
    EXPECT_EQ(closedPort, app->publicWorkers[0].serverPort);
}

TEST_F(ServerAppTest, MoreItemsOnOneTopicShareItsWorkerAndRepeatsChangeNothing) {
    HCONV conv = Link("ticker.btc_jpy.h", "last");
    ASSERT_EQ(1u, client->Take(conv, "last", 1, kWaitMs).size());
    ASSERT_TRUE(client->AdviseStart(conv, "bid"));
    PumpMessages();
    EXPECT_EQ(1u, client->Take(conv, "bid", 1, kWaitMs).size());

    // The same pair again, as a second client's link brings it.
    PostAdvise("ticker.btc_jpy.h", "last");
    PostAdvise("ticker.btc_jpy.h", "bid");

    EXPECT_EQ(1, app->publicCount);
    EXPECT_EQ(1u, Count(Log(), "ticker.btc_jpy.hスレッド生成\r\n"));
    EXPECT_EQ((std::vector<std::string>{"last", "bid"}), ItemsOf(app->publicWorkers[0]));
    EXPECT_EQ((std::vector<std::string>{"last", "bid"}), app->advisedItems);
    // The placeholder goes out again on every advise start.
    EXPECT_EQ((std::vector<std::string>{std::string("-", 2)}), client->Take(conv, "last", 1, kWaitMs));
}

TEST_F(ServerAppTest, TopicKindsStreamingWinsAnywhereInTheNameAndOthersAreNotServed) {
    Link("btc_jpy.r", "last_price.price");
    Link("a.r.h", "x");
    PostAdvise("X.R", "y");  // the letter case of the marker does not matter
    Link("a.h", "z");
    PostAdvise("B.H", "w");

    EXPECT_EQ(3, app->realtimeCount);
    EXPECT_EQ("btc_jpy.r", app->realtimeWorkers[0].GetTopic());
    EXPECT_EQ("a.r.h", app->realtimeWorkers[1].GetTopic());
    EXPECT_EQ("X.R", app->realtimeWorkers[2].GetTopic());
    EXPECT_EQ(2, app->publicCount);
    EXPECT_EQ("a.h", app->publicWorkers[0].GetTopic());
    EXPECT_EQ("B.H", app->publicWorkers[1].GetTopic());
    // Each kind connects to its own host from the configuration.
    EXPECT_EQ("127.0.0.1", std::string(app->realtimeWorkers[0].serverHost));
    EXPECT_EQ("localhost", std::string(app->publicWorkers[0].serverHost));
}

TEST_F(ServerAppTest, TopicOfNeitherKindGetsNoPlaceholderNoWorkerAndNoLogLine) {
    HCONV conv = Link("abc", "last");
    PostAdvise("rh", "last");  // the markers need their dot

    EXPECT_TRUE(client->Take(conv, "last", 1, 300).empty());
    EXPECT_EQ(0, app->publicCount);
    EXPECT_EQ(0, app->realtimeCount);
    EXPECT_TRUE(app->advisedItems.empty());
    EXPECT_EQ((std::vector<std::string>{"起動\r\n"}), Log());
}

TEST_F(ServerAppTest, MissingStringsOfAnAdviseStartAreReleasedAndIgnored) {
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_APP_ADVISE_START, 0, (LPARAM) new std::string("last")));
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_APP_ADVISE_START, (WPARAM) new std::string("a.h"), 0));
    EXPECT_EQ(0, app->publicCount);
    EXPECT_TRUE(app->advisedItems.empty());
}

TEST_F(ServerAppTest, DisconnectPausesOnlyItsTopicsWorkerAndTheNextLinkResumesIt) {
    const char* topics[] = {"a.h", "b.h", "c.h", "d.h"};
    HCONV convs[4];
    for (int i = 0; i < 4; ++i)
        convs[i] = Link(topics[i], "last");
    ASSERT_EQ(4, app->publicCount);

    ASSERT_TRUE(client->Disconnect(convs[3]));
    PumpMessages();
    for (int slot = 0; slot < 3; ++slot)
        EXPECT_FALSE(app->publicWorkers[slot].paused) << slot;
    EXPECT_TRUE(app->publicWorkers[3].paused);
    EXPECT_TRUE(app->publicWorkers[3].running);

    Link("d.h", "ask");
    EXPECT_FALSE(app->publicWorkers[3].paused);
    EXPECT_EQ(4, app->publicCount);
    // Counted by text: the workers log their failed connects at their own pace.
    EXPECT_EQ(1u, Count(Log(), "d.hスレッド生成\r\n"));
    EXPECT_EQ((std::vector<std::string>{"last", "ask"}), ItemsOf(app->publicWorkers[3]));
}

TEST_F(ServerAppTest, DisconnectOfATopicWithoutWorkerChangesNothingAndRepliesOne) {
    Link("a.r", "last");
    std::string other = "b.r";
    std::string notServed = "abc";
    EXPECT_EQ(1, SendMessageA(app->hwnd, WM_APP_DISCONNECTED, (WPARAM)&other, 0));
    EXPECT_EQ(1, SendMessageA(app->hwnd, WM_APP_DISCONNECTED, (WPARAM)&notServed, 0));
    EXPECT_FALSE(app->realtimeWorkers[0].paused);
    EXPECT_EQ(1, app->realtimeCount);
}

TEST_F(ServerAppTest, ConnectedAlwaysRepliesOneAndRestartsTheQuietTime) {
    app->tickCount = HeldClock::Read;
    HeldClock::Set(100000);
    app->lastConnectTick = 0;
    std::string topic = "whatever";
    EXPECT_EQ(1, SendMessageA(app->hwnd, WM_APP_CONNECTED, (WPARAM)&topic, 0));
    EXPECT_EQ(100000u, app->lastConnectTick);
}

// Values that arrive within 2000 ms of a new connection are dropped; the
// placeholder is not a worker's value and still goes out. The test holds the
// core's clock, so the edge is exact on any machine.
TEST_F(ServerAppTest, WorkerValuesAreDroppedForTwoSecondsAfterANewConnection) {
    HeldClock::Set(100000);
    HCONV conv = LinkOnHeldClock("ticker.btc_jpy.h", "last");
    ExpectQuietTimeEndsAt(conv, 100000, "100", "101");
}

TEST_F(ServerAppTest, TheQuietTimeHoldsAcrossTheWrapOfTheTickCounter) {
    HCONV conv = LinkOnHeldClock("ticker.btc_jpy.h", "last");
    // The connection comes 500 ms before the counter wraps; the quiet time
    // ends after the wrap.
    const DWORD connectedAt = 0xFFFFFFFFu - 500;
    HeldClock::Set(connectedAt);
    std::string topic = "ticker.btc_jpy.h";
    SendMessageA(app->hwnd, WM_APP_CONNECTED, (WPARAM)&topic, 0);
    ExpectQuietTimeEndsAt(conv, connectedAt, "200", "201");
}

TEST_F(ServerAppTest, ValuesOfItemsNeverLinkedAndMissingRecordsPublishNothing) {
    HCONV conv = LinkOnHeldClock("ticker.btc_jpy.h", "last");
    HeldClock::Advance(5000);
    PostValue("ticker.btc_jpy.h", "bid", "300");
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_APP_ITEM_VALUES, 0, 0));
    EXPECT_TRUE(client->Take(conv, "last", 1, 200).empty());
    // An item linked on one topic lets values of that name through for any
    // topic; the DDE server keeps values of unknown topics out.
    PostValue("other.h", "last", "301");
    EXPECT_TRUE(client->Take(conv, "last", 1, 200).empty());
}

TEST_F(ServerAppTest, AValueThatFillsItsWholeFieldIsReadNoFurther) {
    HCONV conv = LinkOnHeldClock("ticker.btc_jpy.h", "last");
    HeldClock::Advance(5000);
    CItemValue record = Record("ticker.btc_jpy.h", "last");
    memset(record.value, '7', CItemValue::kValueSize);  // no terminator
    mailbox->Put(app->hwnd, {record});
    PumpMessages();
    std::vector<std::string> values = client->Take(conv, "last", 1, kWaitMs);
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ(std::string(CItemValue::kValueSize, '7') + '\0', values[0]);
}

// Windows drops posts past 10,000 waiting messages. A worker whose notice
// was dropped so still gets its latest value into the cell, by the window's
// timer, once the queue has room again.
TEST_F(ServerAppTest, AValueWhoseNoticeFoundTheQueueFullReachesItsCellByTheTimer) {
    HCONV conv = LinkOnHeldClock("btc_jpy.r", "last");
    HeldClock::Advance(5000);
    ASSERT_EQ(kWindowsPostQuota, FillQueue(app->hwnd));
    for (const char* price : {"100", "101"})
        app->realtimeWorkers[0].mailbox->Put(app->hwnd, {Record("btc_jpy.r", "last", price)});
    EXPECT_EQ((std::vector<std::string>{std::string("101", 4)}), client->Take(conv, "last", 1, kWaitMs));
}

// The status topic tells whether a feed is live: a stream whose host refuses
// connections is "failed", with the host named, and the tray tip counts it.
TEST_F(ServerAppTest, TheStatusTopicAndTheTipTellAFailingFeed) {
    HCONV status = client->Connect(service.c_str(), "status");
    ASSERT_NE(nullptr, status);
    for (const char* item : {"btc_jpy.r.state", "btc_jpy.r.error", "server.topics"})
        ASSERT_TRUE(client->AdviseStart(status, item)) << item;
    PumpMessages();
    EXPECT_EQ((std::vector<std::string>{std::string("-", 2)}), client->Take(status, "btc_jpy.r.state", 1, kWaitMs));
    EXPECT_EQ((std::vector<std::string>{std::string("0", 2)}), client->Take(status, "server.topics", 1, kWaitMs));

    Link("btc_jpy.r", "last");
    // Served now: connecting, until the first refusal (within a second,
    // when the timer looks next) makes it failed.
    // The last text an item was sent, once it is text or 5 s have passed.
    auto settlesOn = [&](const char* item, const std::string& text) {
        std::string seen;
        WaitUntil(
            [&] {
                for (std::string& sent : client->Take(status, item))
                    seen = sent;
                return seen == text + '\0';
            },
            5000);
        return seen;
    };
    EXPECT_EQ(std::string("failed", 7), settlesOn("btc_jpy.r.state", "failed"));
    std::string refused = "127.0.0.1:" + std::to_string(closedPort) + " 接続失敗（接続拒否）";
    EXPECT_EQ(refused + '\0', settlesOn("btc_jpy.r.error", refused));
    EXPECT_EQ(std::string("1", 2), settlesOn("server.topics", "1"));
    char tip[128] = {};
    ASSERT_TRUE(VornFindTrayIcon(app->hwnd, 0, tip, sizeof(tip)));
    EXPECT_EQ(service + " live 0/1 failing 1", tip);
}

// Values replaced before they reached a cell are counted, and the count is
// logged at most once a minute.
TEST_F(ServerAppTest, SkippedValuesAreLoggedAtMostOnceAMinute) {
    app->tickCount = HeldClock::Read;
    HCONV conv = Link("btc_jpy.r", "last");
    ASSERT_NE(nullptr, conv);
    auto skip = [&](int count) {
        for (int i = 0; i <= count; ++i)
            app->realtimeWorkers[0].mailbox->Put(app->hwnd, {Record("btc_jpy.r", "last")});
        PumpMessages();
        app->OnTimer(CServerApp::kSweepTimer);
    };
    // The worker's own lines (its connects fail) come at any moment.
    auto skipLines = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : Log()) {
            if (line.find("更新が追いつかず") == 0) lines.push_back(line);
        }
        return lines;
    };
    const std::string three = "更新が追いつかず中間の値 3 件を省略\r\n";
    skip(3);
    EXPECT_EQ(std::vector<std::string>{three}, skipLines());
    HeldClock::Advance(59999);
    skip(2);
    EXPECT_EQ(std::vector<std::string>{three}, skipLines()) << "within the minute";
    HeldClock::Advance(1);
    skip(1);
    EXPECT_EQ((std::vector<std::string>{three, three}), skipLines()) << "the minute's count, once it is over";
}

// Each table has 32 slots; a further topic of the kind is logged and served
// nothing, and nothing already served changes.
TEST_F(ServerAppTest, ThirtyThirdTopicOfAKindIsLoggedAndServedNothing) {
    for (int i = 0; i < CServerApp::kMaxWorkers; ++i)
        PostAdvise("t" + std::to_string(i) + ".h", "last");
    ASSERT_EQ(32, app->publicCount);
    HCONV conv = Link("t32.h", "extra");

    EXPECT_EQ(32, app->publicCount);
    EXPECT_EQ((std::vector<std::string>{"last"}), app->advisedItems);
    EXPECT_TRUE(client->Take(conv, "extra", 1, 300).empty());
    std::vector<std::string> log = Log();
    EXPECT_EQ(0u, Count(log, "t32.hスレッド生成\r\n"));
    EXPECT_EQ(1u, Count(log, "t32.hスレッド生成不可（スレッド数上限）\r\n"));
    for (int slot = 0; slot < 32; ++slot)
        EXPECT_EQ("t" + std::to_string(slot) + ".h", app->publicWorkers[slot].GetTopic());

    // The other kind still has all its slots.
    Link("btc_jpy.r", "last");
    EXPECT_EQ(1, app->realtimeCount);
}

TEST_F(ServerAppTest, ShutdownWaitAsksEveryStartedWorkerToStopAndWaitsForIt) {
    Link("a.r", "x");
    Link("b.r", "x");
    Link("a.h", "x");
    app->WaitForWorkers();
    for (int slot = 0; slot < 2; ++slot) {
        EXPECT_FALSE(app->realtimeWorkers[slot].running) << slot;
        EXPECT_FALSE(app->realtimeWorkers[slot].alive) << slot;
    }
    EXPECT_FALSE(app->publicWorkers[0].alive);
    // Slots never used are left alone.
    EXPECT_TRUE(app->realtimeWorkers[2].running);
    EXPECT_TRUE(app->publicWorkers[1].running);
}

// The server trusts a private root from a ca_file beside the exe.
class TrustingServerAppTest : public ServerAppTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(authority.IsValid());
        fs::create_directories(fs::current_path() / "certs");
        fs::copy_file(authority.RootFile(), fs::current_path() / "certs" / "ca.pem");
        extraSettings = "ca_file=certs/ca.pem\r\n";
        ServerAppTest::SetUp();
    }

    TrustedTestAuthority authority;
};

// A worker that is started against a real TLS server: its values pass the
// core and reach the linked cell.
TEST_F(TrustingServerAppTest, AStartedWorkersValuesReachTheLinkedClient) {
    std::string trusted = "ca_file " + (folder / "certs/ca.pem").string() + " の証明書 1 件を信頼\r\n";
    EXPECT_EQ((std::vector<std::string>{"起動\r\n", trusted}), Log());
    TlsTestServer server(authority.IssueServer({"localhost"}), [](TlsTestServer::Connection& connection) {
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            std::string more = connection.Read(1, 3000);
            if (more.empty()) return;
            request += more;
        }
        if (request.find("GET /api/1/ticker/btc_jpy HTTP/1.0") != 0) return;
        std::string body = "{\"last\":12345,\"bid\":12340}";
        connection.Write("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        connection.CloseCleanly();
    });
    ASSERT_NE(0, server.Port());
    app->publicWorkers[0].SetServer("", server.Port());
    app->tickCount = HeldClock::Read;

    HCONV conv = client->Connect(service.c_str(), "ticker.btc_jpy.h");
    ASSERT_NE(nullptr, conv);
    HeldClock::Advance(2000);  // the quiet time of the connection just made
    ASSERT_TRUE(client->AdviseStart(conv, "last"));
    std::vector<std::string> values = client->Take(conv, "last", 2, 5000);
    ASSERT_EQ(2u, values.size());
    EXPECT_EQ(std::string("-", 2), values[0]);
    EXPECT_EQ(std::string("12345", 6), values[1]);
}

// A worker waits for its values to be taken before it reads on: the wait
// must end when another thread takes them, and not before.
TEST(ValueMailboxTest, WaitTakenEndsWhenTheValuesAreTakenAndNotBefore) {
    RecordingWindow window;  // left unpumped until it goes: nobody takes there
    auto mailbox = std::make_shared<CValueMailbox>();
    EXPECT_TRUE(mailbox->WaitTaken(0)) << "nothing waits";
    CItemValue value = Record("btc_jpy.r", "last");
    mailbox->Put(window.Handle(), {value});
    EXPECT_FALSE(mailbox->WaitTaken(50)) << "nobody took them";
    std::thread taker([&] {
        Sleep(100);
        mailbox->Take();
    });
    DWORD begun = GetTickCount();
    EXPECT_TRUE(mailbox->WaitTaken(30000));
    EXPECT_LT(GetTickCount() - begun, 30000u) << "ended by the take, not by its time-out";
    taker.join();
    mailbox->Put(window.Handle(), {value});
    EXPECT_FALSE(mailbox->WaitTaken(0)) << "put again after the take";
}
