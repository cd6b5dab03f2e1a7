// The whole server under churn: 32 topics on the local exchange streaming
// fast, while a client links and drops items, ends and makes conversations
// (which pause and resume workers) and the exchange drops connections, in
// an order drawn from a fixed seed; then the server exits. Run in the ASan
// tree and the ThreadSanitizer tree, where a leak or a race fails it.
#include <cstdio>
#include <random>

#include "ExchangeSimProcess.h"
#include "HeldClock.h"
#include "ServerAppFixture.h"
#include "resource.h"

namespace {

const int kTopicsOfEachKind = 16;
const int kRounds = 20;
const int kStepsPerRound = 12;
const unsigned kSeed = 20261210;

// The exchange's faults, one set per round in turn: connections reset after
// a few messages or a response, streams ended by a close frame, responses
// followed by a TCP close without a close notify or by "Connection: close".
const char* const kNetworkFaults[] = {
    "",
    "stream reset=4\nrest reset=1\n",
    "stream close-frame=2\nrest eof=1\n",
    "rest close\n",
};

struct Topic {
    std::string name;
    std::vector<const char*> items;
    HCONV conv = nullptr;
    std::vector<const char*> linked;
};

class ChurnTest : public ServerAppTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Started()) << "exchange-sim did not report its ports";
        extraSettings = "ca_file=" + sim.CaFile() + "\r\n";
        Prepare();
        for (CHttpsThread& worker : app->realtimeWorkers)
            worker.SetServer("", sim.StreamPort());
        for (CHttpsThread& worker : app->publicWorkers)
            worker.SetServer("", sim.RestPort());
        // Each new conversation starts the quiet time; the held clock ends
        // it at once, so that values flow between the steps.
        app->tickCount = HeldClock::Read;
        ASSERT_TRUE(app->StartUp(nullptr));
        // Below what the INI file may ask: polls and reconnections every
        // second make more of them in the time the churn has.
        app->ini.polling_interval = 1;
        char name[64];
        for (int i = 0; i < kTopicsOfEachKind; ++i) {
            snprintf(name, sizeof(name), "c%02d_jpy.r", i);
            topics.push_back(Topic{name, {"seq", "currency_pair", "timestamp"}, nullptr, {}});
            snprintf(name, sizeof(name), "ticker.c%02d_jpy.h", i);
            topics.push_back(Topic{name, {"last", "bid", "timestamp"}, nullptr, {}});
        }
    }

    void Link(Topic& topic, const char* item) {
        if (!topic.conv) {
            topic.conv = client->Connect(service.c_str(), topic.name.c_str());
            ASSERT_NE(nullptr, topic.conv) << topic.name;
            HeldClock::Advance(CServerApp::kConnectQuietMs);
        }
        ASSERT_TRUE(client->AdviseStart(topic.conv, item)) << topic.name << " " << item;
        if (std::find(topic.linked.begin(), topic.linked.end(), item) == topic.linked.end())
            topic.linked.push_back(item);
    }

    void Unlink(Topic& topic) {
        if (topic.linked.empty()) return;
        EXPECT_TRUE(client->AdviseStop(topic.conv, topic.linked.back())) << topic.name;
        topic.linked.pop_back();
    }

    // The last conversation with links on a topic pauses its worker.
    void Disconnect(Topic& topic) {
        if (!topic.conv) return;
        EXPECT_TRUE(client->Disconnect(topic.conv)) << topic.name;
        topic.conv = nullptr;
        topic.linked.clear();
    }

    void Step(std::mt19937& random) {
        Topic& topic = topics[random() % topics.size()];
        switch (random() % 4) {
            case 0:
            case 1:
                Link(topic, topic.items[random() % topic.items.size()]);
                break;
            case 2:
                Unlink(topic);
                break;
            case 3:
                Disconnect(topic);
                break;
        }
        PumpUntil([] { return false; }, random() % 40);
    }

    // Every topic has a fresh value (not the placeholder) on its first item.
    bool EveryTopicIsLive(DWORD timeoutMs) {
        std::vector<bool> live(topics.size(), false);
        return PumpUntil(
            [&] {
                for (size_t i = 0; i < topics.size(); ++i) {
                    for (const std::string& value : client->Take(topics[i].conv, topics[i].items[0]))
                        live[i] = live[i] || value != std::string("-", 2);
                }
                return std::find(live.begin(), live.end(), false) == live.end();
            },
            timeoutMs);
    }

    ExchangeSimProcess sim{{"--rate", "50"}};
    std::vector<Topic> topics;
};

}  // namespace

TEST_F(ChurnTest, LinksPausesAndDroppedConnectionsInRandomOrderThenAPromptCleanExit) {
    std::mt19937 random(kSeed);
    for (int round = 0; round < kRounds; ++round) {
        sim.Control(kNetworkFaults[round % (sizeof(kNetworkFaults) / sizeof(kNetworkFaults[0]))]);
        for (int step = 0; step < kStepsPerRound; ++step) {
            Step(random);
            if (HasFatalFailure()) return;
        }
    }

    // However the churn left them, every worker serves its topic again once
    // the exchange behaves.
    sim.Control("");
    for (Topic& topic : topics) {
        Link(topic, topic.items[0]);
        if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(EveryTopicIsLive(20000));
    EXPECT_EQ(kTopicsOfEachKind, app->realtimeCount);
    EXPECT_EQ(kTopicsOfEachKind, app->publicCount);

    // The menu's exit, then what Run does after its loop.
    ASSERT_TRUE(PostMessageA(app->hwnd, WM_COMMAND, ID_EXIT, 0));
    long long start = NowMs();
    EXPECT_EQ(0, app->MessageLoop());
    app->WaitForWorkers();
    EXPECT_LT(SinceMs(start), 2000);
    for (int slot = 0; slot < app->realtimeCount; ++slot)
        EXPECT_FALSE(app->realtimeWorkers[slot].alive) << "streaming slot " << slot;
    for (int slot = 0; slot < app->publicCount; ++slot)
        EXPECT_FALSE(app->publicWorkers[slot].alive) << "polled slot " << slot;
}
