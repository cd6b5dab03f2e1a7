#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CHttpsPublicThread.h"
#include "CHttpsRealtimeThread.h"
#include "ExchangeSimProcess.h"
#include "TrustingContext.h"
#include "Waiting.h"
#include "support/WorkerTestBed.h"

// Both workers against the local exchange simulator, the real program on
// ephemeral ports, with its fault modes switched per connection through its
// control file.

namespace {

std::vector<long> Sequence(const std::vector<std::string>& values) {
    std::vector<long> numbers;
    for (const std::string& value : values)
        numbers.push_back(strtol(value.c_str(), nullptr, 10));
    return numbers;
}

// Every message once and in order: the sequence numbers of one connection
// count up by one.
void ExpectConsecutive(const std::vector<long>& numbers, const std::string& what) {
    for (size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i - 1] + 1, numbers[i]) << what << ", message " << i;
    }
}

class SimWorkersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Started()) << "exchange-sim did not report its ports";
        bed.trust = trust.get();
    }

    void StartRest(CHttpsPublicThread& worker, const std::string& item) {
        worker.SetServer("localhost", sim.RestPort());
        bed.Start(worker, "ticker.btc_jpy.h", {item});
    }
    void StartStream(CHttpsRealtimeThread& worker) {
        worker.SetServer("localhost", sim.StreamPort());
        bed.Start(worker, "btc_jpy.r", {"seq"});
    }

    // What a stream worker publishes while the simulator's stream is in
    // mode, until count values have come or limitMs has passed; the worker
    // is then stopped, and must end.
    std::vector<std::string> StreamValues(const std::string& mode, size_t count, DWORD limitMs) {
        sim.Control("stream " + mode + "\n");
        CHttpsRealtimeThread worker;
        WorkerStopper stopper(worker);
        StartStream(worker);
        auto values = WorkerTestBed::ValuesOf(bed.window.WaitFor(count, limitMs));
        EXPECT_GE(WorkerTestBed::StopAndWait(worker, 5000), 0) << mode;
        bed.window.Take();
        return values;
    }

    size_t CountConnections() const {
        std::string log = sim.Log();
        size_t count = 0;
        for (size_t at = log.find("connection from"); at != std::string::npos; at = log.find("connection from", at + 1))
            ++count;
        return count;
    }

    // Waits until a value starting with prefix arrives; the milliseconds
    // that took, or -1.
    int WaitForValue(const std::string& prefix, DWORD limitMs) {
        DWORD start = GetTickCount();
        auto arrived = [&] {
            for (const auto& value : bed.window.Take()) {
                if (value.value.compare(0, prefix.size(), prefix) == 0) return true;
            }
            return false;
        };
        return WaitUntil(arrived, limitMs) ? (int)Since(start) : -1;
    }

    ExchangeSimProcess sim{{"--rate", "20"}};
    // The workers trust the simulator's authority.
    std::unique_ptr<CTlsContext> trust = TrustingContext(sim.CaFile());
    WorkerTestBed bed;
};

}  // namespace

TEST_F(SimWorkersTest, RestCellFollowsTheServedDocumentWithinOneInterval) {
    sim.Control("pin btc_jpy=1000000\n");
    CHttpsPublicThread worker;
    WorkerStopper stopper(worker);
    bed.settings.polling_interval = 2;
    StartRest(worker, "last");
    ASSERT_GE(WaitForValue("1000000", 8000), 0);
    for (const char* price : {"1234567", "1111111"}) {
        sim.Control(std::string("pin btc_jpy=") + price + "\n");
        int took = WaitForValue(price, 6000);
        printf("pin %s reached the cell after %d ms\n", price, took);
        EXPECT_GE(took, 0) << price;
        EXPECT_LE(took, 2000 + 1000) << price << ": polling_interval + 1 s";
    }
}

// Each REST fault mode of the simulator still yields fresh documents only:
// the timestamps (milliseconds, a second or more apart) never repeat, which
// they would if an old response were published again.
TEST_F(SimWorkersTest, RestFaultModesPublishNoStaleDocument) {
    const char* modes[] = {"close", "no-connection", "drop=2", "eof=2", "chunked=4", "mixed-case", "bad-status"};
    for (const char* mode : modes) {
        sim.Control(std::string("rest ") + mode + "\n");
        CHttpsPublicThread worker;
        WorkerStopper stopper(worker);
        bed.settings.polling_interval = 1;
        bed.settings.tmout_ms = 1500;
        StartRest(worker, strcmp(mode, "bad-status") == 0 ? "last" : "timestamp");
        auto values = WorkerTestBed::ValuesOf(bed.window.WaitFor(4, 15000));
        EXPECT_GE(WorkerTestBed::StopAndWait(worker, 5000), 0) << mode;
        bed.window.Take();
        if (strcmp(mode, "bad-status") == 0) {
            // An error response is published like any other: its items are
            // missing. It is no document of a live feed, though.
            ASSERT_FALSE(values.empty()) << mode;
            EXPECT_EQ("-", values[0]) << mode;
            CThread::Health health = worker.GetHealth();
            EXPECT_EQ(0ul, health.documents);
            std::string statusLine = "localhost:" + std::to_string(sim.RestPort()) + " HTTP/1.1 500";
            EXPECT_EQ(statusLine, health.error.substr(0, statusLine.size()));
            continue;
        }
        EXPECT_EQ(4u, values.size()) << mode;
        for (size_t i = 1; i < values.size(); ++i)
            EXPECT_NE(values[i - 1], values[i]) << mode << ", value " << i;
    }
}

TEST_F(SimWorkersTest, StreamPublishesEveryMessageOnceInOrder) {
    const char* modes[] = {"none", "small", "len64", "fragment=3", "ping", "fragment=2,ping=2", "mixed-case"};
    for (const char* mode : modes) {
        auto numbers = Sequence(StreamValues(mode, 20, 10000));
        EXPECT_GE(numbers.size(), 20u) << mode;
        ExpectConsecutive(numbers, mode);
    }
}

TEST_F(SimWorkersTest, StreamEndingFaultsReconnectAndGoOn) {
    bed.settings.polling_interval = 1;
    auto numbers = Sequence(StreamValues("close-frame=3", 6, 10000));
    ASSERT_EQ(6u, numbers.size());
    // Three messages per connection, then a close frame and a new connection.
    EXPECT_EQ((std::vector<long>{numbers[0], numbers[0] + 1, numbers[0] + 2}),
              std::vector<long>(numbers.begin(), numbers.begin() + 3));
    EXPECT_EQ((std::vector<long>{numbers[3], numbers[3] + 1, numbers[3] + 2}),
              std::vector<long>(numbers.begin() + 3, numbers.end()));
}

TEST_F(SimWorkersTest, StreamRefusalsPublishNothing) {
    bed.settings.polling_interval = 1;
    for (const char* mode : {"masked", "no-upgrade", "bad-status"})
        EXPECT_TRUE(StreamValues(mode, 1, 2500).empty()) << mode;
}

TEST_F(SimWorkersTest, StopEndsEitherWorkerWithinTheTimeoutWhateverTheSimulatorDoes) {
    const int timeoutMs = 2000;
    struct Case {
        bool stream;
        const char* mode;
    };
    const Case cases[] = {
        {false, "stall-accept"}, {false, "stall-body"},  {false, "trickle=100"}, {false, "none"},
        {true, "stall-accept"},  {true, "stall-body=0"}, {true, "trickle=100"},  {true, "none"},
    };
    for (const Case& c : cases) {
        std::string what = std::string(c.stream ? "stream " : "rest ") + c.mode;
        sim.Control(what + "\n");
        bed.settings.tmout_ms = timeoutMs;
        bed.settings.polling_interval = 1;
        CHttpsPublicThread rest;
        CHttpsRealtimeThread stream;
        CThread& worker = c.stream ? (CThread&)stream : (CThread&)rest;
        size_t connections = CountConnections();
        if (c.stream) {
            StartStream(stream);
        } else {
            StartRest(rest, "last");
        }
        // Stopped once the simulator holds the connection in its fault, so
        // the worker is inside the wait that the stop must cut short.
        EXPECT_TRUE(WaitUntil([&] { return CountConnections() > connections; }, 20000)) << what;
        int took = WorkerTestBed::StopAndWait(worker, 20000);
        printf("%s: ended %d ms after the stop\n", what.c_str(), took);
        EXPECT_GE(took, 0) << what;
        // A loaded machine may add seconds; a worker that waits out a second
        // time-out, or never sees the stop, still fails.
        EXPECT_LE(took, timeoutMs + 3000) << what;
        bed.window.Take();
    }
}
