#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Hex.h"
#include "UniqueName.h"

// CDdeServer in one Wine process (dde_test_host) and ddewatch in others,
// talking through Wine's DDEML between processes.
//
// Wine's DdePostAdvise matches advise loops by item name alone and asks for
// the data of the topic it was given, so a client linking one item name under
// two topics may see one topic's value on the other's link (which link gets
// what varies from run to run). Windows serves only the given topic's loops,
// and the stand-in suite holds the server to that. Here each item name is
// linked under one topic only.

namespace {

using Out = std::vector<std::string>;

// The first Wine process of a run may take several seconds to start.
const DWORD kStartMs = 30000;
const DWORD kReplyMs = 10000;

std::string ServiceName() {
    static const std::string name = UniqueName("VornCross");
    return name;
}

std::string HexText(const char* text) {
    return Hex(std::string(text, strlen(text) + 1));
}

size_t CountStartingWith(const Out& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; });
}

// The fields after the time stamp of a ddewatch update line.
std::string WithoutTime(const std::string& line) {
    size_t tab = line.find('\t');
    return tab == std::string::npos ? line : line.substr(tab + 1);
}

class CrossProcessTest : public testing::Test {
protected:
    void SetUp() override {
        host.reset(new ChildProcess(WindowsPath(VORN_DDE_TEST_HOST), {ServiceName()}));
        ASSERT_TRUE(host->Started());
        ASSERT_TRUE(host->WaitLine(ChildProcess::kOut, "ready", kStartMs));
    }
    void TearDown() override {
        if (!host) return;
        host->WriteLine("quit");
        EXPECT_EQ(0, host->Wait(kReplyMs));
    }

    std::unique_ptr<ChildProcess> Watch(std::vector<std::string> args) {
        args.insert(args.begin(), {"--service", ServiceName(), "--connect-timeout", "20"});
        return std::unique_ptr<ChildProcess>(new ChildProcess(WindowsPath(VORN_DDEWATCH), args));
    }
    // Sends a command to the host and returns its answer.
    std::string Ask(const std::string& command, const std::string& answerPrefix) {
        host->WriteLine(command);
        std::string answer;
        EXPECT_TRUE(host->WaitLine(ChildProcess::kOut, answerPrefix, kReplyMs, &answer)) << command;
        return answer;
    }
    std::string NextUpdate(ChildProcess& watcher) {
        std::string line;
        EXPECT_TRUE(watcher.WaitLine(ChildProcess::kOut, "", kReplyMs, &line));
        return WithoutTime(line);
    }

    std::unique_ptr<ChildProcess> host;
};

}  // namespace

TEST_F(CrossProcessTest, HotLinkInTextCarriesEveryStoredValue) {
    auto watcher = Watch({"--hex", "--count", "3", "Ticker.BTC_JPY.h!Last"});
    ASSERT_TRUE(host->WaitLine(ChildProcess::kOut, "connected\tticker.btc_jpy.h", kStartMs));
    ASSERT_TRUE(host->WaitLine(ChildProcess::kOut, "advise\tticker.btc_jpy.h\tlast", kReplyMs));
    ASSERT_TRUE(watcher->WaitLine(ChildProcess::kErr, "ddewatch: linked Ticker.BTC_JPY.h!Last", kReplyMs));

    EXPECT_EQ("set\t0", Ask("set\tticker.btc_jpy.h\tLAST\t4500000", "set"));
    EXPECT_EQ("Ticker.BTC_JPY.h\tLast\t" + HexText("4500000"), NextUpdate(*watcher));
    EXPECT_EQ("set\t-1", Ask("set\tTicker.BTC_JPY.h\tlast\t1", "set"));  // topics only as handed out: lowered
    EXPECT_EQ("set\t0", Ask("set\tticker.btc_jpy.h\tlast\t4500000", "set"));
    EXPECT_EQ("Ticker.BTC_JPY.h\tLast\t" + HexText("4500000"), NextUpdate(*watcher));
    EXPECT_EQ("set\t0", Ask("set\tticker.btc_jpy.h\tlast\t", "set"));
    EXPECT_EQ("Ticker.BTC_JPY.h\tLast\t00", NextUpdate(*watcher));

    // The watcher ends after its third update; it was the recorded conversation.
    EXPECT_EQ(0, watcher->Wait(kReplyMs));
    EXPECT_TRUE(host->WaitLine(ChildProcess::kOut, "disconnected\tticker.btc_jpy.h", kReplyMs));
}

TEST_F(CrossProcessTest, OtherFormatsAndRequestsGetNothing) {
    auto unicode = Watch({"--format", "CF_UNICODETEXT", "a.h!last"});
    EXPECT_EQ(4, unicode->Wait(kStartMs));
    EXPECT_TRUE(unicode->WaitLine(ChildProcess::kErr, "ddewatch: link refused: a.h!last (DDEML error 0x4009)", 0));
    EXPECT_EQ("set\t-1", Ask("set\ta.h\tlast\t5", "set"));

    auto linked = Watch({"--seconds", "60", "a.h!last"});
    ASSERT_TRUE(linked->WaitLine(ChildProcess::kErr, "ddewatch: linked a.h!last", kStartMs));
    EXPECT_EQ("set\t0", Ask("set\ta.h\tlast\t5", "set"));
    EXPECT_EQ("a.h\tlast\t5", NextUpdate(*linked));

    auto request = Watch({"--request", "a.h!last"});
    EXPECT_EQ(4, request->Wait(kStartMs));
    EXPECT_TRUE(request->WaitLine(ChildProcess::kErr, "ddewatch: no data for a.h!last", 0));
    EXPECT_TRUE(request->Lines(ChildProcess::kOut).empty());

    // Three conversations on the topic, one entry: connected was sent once.
    EXPECT_EQ(1u, CountStartingWith(host->Lines(ChildProcess::kOut), "connected\t"));
}

TEST_F(CrossProcessTest, ValuesOutliveTheClientAndServeItsReturn) {
    auto first = Watch({"--count", "1", "Rates.h!Last"});
    ASSERT_TRUE(first->WaitLine(ChildProcess::kErr, "ddewatch: linked", kStartMs));
    EXPECT_EQ("set\t0", Ask("set\trates.h\tlast\t100", "set"));
    EXPECT_EQ(0, first->Wait(kReplyMs));
    ASSERT_TRUE(host->WaitLine(ChildProcess::kOut, "disconnected\trates.h", kReplyMs));

    // Stored while nobody is linked; the client process and its handles are gone.
    EXPECT_EQ("set\t0", Ask("set\trates.h\tlast\t101", "set"));
    EXPECT_EQ("value\t" + HexText("101"), Ask("value\trates.h\tlast", "value"));

    auto second = Watch({"--count", "1", "rates.h!LAST"});
    ASSERT_TRUE(second->WaitLine(ChildProcess::kErr, "ddewatch: linked", kStartMs));
    ASSERT_TRUE(host->WaitLine(ChildProcess::kOut, "advise\trates.h\tlast", kReplyMs));
    EXPECT_EQ("value\t" + HexText("101"), Ask("value\trates.h\tlast", "value"));
    EXPECT_EQ("set\t0", Ask("set\trates.h\tlast\t102", "set"));
    EXPECT_EQ("rates.h\tLAST\t102", NextUpdate(*second));
    EXPECT_EQ(0, second->Wait(kReplyMs));
    EXPECT_EQ(1u, CountStartingWith(host->Lines(ChildProcess::kOut), "connected\t"));
}

// Wine's DDEML refuses (0x4009) an advise start that crosses the server's
// first data on the same conversation, as the placeholder that the server
// publishes when a loop starts; the watcher asks again.
TEST_F(CrossProcessTest, OneClientLinksEveryItemOfItsTopics) {
    Ask("placeholder\t-", "placeholder");
    auto watcher = Watch({"--seconds", "60", "a.h!w", "a.h!x", "a.h!y", "b.h!z", "b.h!v"});
    ASSERT_TRUE(watcher->WaitLine(ChildProcess::kErr, "ddewatch: linked b.h!v", kStartMs));
    EXPECT_EQ(5u, CountStartingWith(watcher->Lines(ChildProcess::kErr), "ddewatch: linked "));
    Out placeholders;
    for (int i = 0; i < 5; ++i)
        placeholders.push_back(NextUpdate(*watcher));
    std::sort(placeholders.begin(), placeholders.end());
    EXPECT_EQ((Out{"a.h\tw\t-", "a.h\tx\t-", "a.h\ty\t-", "b.h\tv\t-", "b.h\tz\t-"}), placeholders);
    EXPECT_EQ("set\t0", Ask("set\ta.h\ty\t7", "set"));
    EXPECT_EQ("a.h\ty\t7", NextUpdate(*watcher));
}

TEST_F(CrossProcessTest, WatcherReportsTheServersEnd) {
    auto watcher = Watch({"--seconds", "60", "a.h!last"});
    ASSERT_TRUE(watcher->WaitLine(ChildProcess::kErr, "ddewatch: linked a.h!last", kStartMs));
    host->WriteLine("quit");
    EXPECT_EQ(0, host->Wait(kReplyMs));
    host.reset();
    EXPECT_EQ(5, watcher->Wait(kReplyMs));
    EXPECT_TRUE(watcher->WaitLine(ChildProcess::kErr, "ddewatch: the server ended the conversation on topic a.h", 0));
}

TEST(CrossProcessDdewatch, NoServiceEndsWithCode3AfterTheWait) {
    ChildProcess watcher(WindowsPath(VORN_DDEWATCH),
                         {"--service", "VornNobodyHere", "--connect-timeout", "1", "a.h!x"});
    EXPECT_EQ(3, watcher.Wait(kStartMs));
    EXPECT_TRUE(watcher.WaitLine(ChildProcess::kErr,
                                 "ddewatch: service VornNobodyHere did not accept a conversation on topic a.h "
                                 "(DDEML error 0x400A)",
                                 0));
}
