#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AppMessages.h"
#include "CDdeServer.h"
#include "CDdeWatcher.h"
#include "CLineView.h"
#include "CTableView.h"
#include "DdeTestClient.h"
#include "RecordingWindow.h"
#include "TempWorkingDirectory.h"
#include "UniqueName.h"
#include "WatchOptions.h"

namespace {

std::string ServiceName() {
    static const std::string name = UniqueName("VornWatch");
    return name;
}

bool Parse(std::vector<const char*> args, WatchOptions* options, std::string* error) {
    args.insert(args.begin(), "ddewatch");
    return ParseWatchOptions((int)args.size(), args.data(), options, error);
}

// Writes down what the watcher shows, one line per event.
class RecordingView : public CWatchView {
public:
    void OnNoConversation(const std::string& service, const std::string& topic, UINT error) override {
        events.push_back("noconv " + service + " " + topic + " " + std::to_string(error));
    }
    void OnLinked(size_t link, bool accepted, UINT error) override {
        events.push_back((accepted ? "linked " : "refused ") + std::to_string(link) + " " + std::to_string(error));
    }
    void OnUpdate(size_t link, DWORD, const std::string& data) override {
        events.push_back("update " + std::to_string(link) + " " + data);
    }
    void OnNoData(size_t link, UINT error) override {
        events.push_back("nodata " + std::to_string(link) + " " + std::to_string(error));
    }
    void OnServerEnded(const std::string& topic) override { events.push_back("ended " + topic); }

    std::vector<std::string> events;
};

}  // namespace

// clang-format off
struct OptionCase {
    const char* reason;
    std::vector<const char*> args;
    bool valid;
};
const OptionCase kOptionCases[] = {
    {"one link is enough",                    {"a.h!last"},                         true},
    {"a value after an equals sign",          {"--service=X", "a.h!last"},          true},
    {"fractions of seconds",                  {"--seconds", "0.5", "a!b"},          true},
    {"a format by number",                    {"--format", "13", "a!b"},            true},
    {"only the first '!' splits",             {"a.h!b!c"},                          true},
    {"no link at all",                        {"--table"},                          false},
    {"a link without '!'",                    {"a.h"},                              false},
    {"an empty topic",                        {"!last"},                            false},
    {"an empty item",                         {"a.h!"},                             false},
    {"an option without its value",           {"a!b", "--service"},                 false},
    {"an unknown option",                     {"--bogus", "a!b"},                   false},
    {"negative seconds",                      {"--seconds", "-1", "a!b"},           false},
    {"seconds that are not a number",         {"--seconds", "10s", "a!b"},          false},
    {"a count of zero",                       {"--count", "0", "a!b"},              false},
    {"format zero",                           {"--format", "0", "a!b"},             false},
    {"an unknown format name",                {"--format", "CF_BITMAP", "a!b"},     false},
    {"requests are not drawn as a table",     {"--request", "--table", "a!b"},      false},
};
// clang-format on

TEST(WatchOptions, CommandLinesAreAcceptedOrRefusedWithAReason) {
    for (const OptionCase& c : kOptionCases) {
        WatchOptions options;
        std::string error;
        EXPECT_EQ(c.valid, Parse(c.args, &options, &error)) << c.reason;
        EXPECT_EQ(c.valid, error.empty()) << c.reason << ": " << error;
    }
}

TEST(WatchOptions, ValuesLandInTheirFields) {
    WatchOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--service", "X", "--seconds", "1.5", "--count", "3", "--connect-timeout=10", "--format",
                       "CF_UNICODETEXT", "--hex", "T.h!Last", "u.r!a.b!c"},
                      &options, &error));
    EXPECT_EQ("X", options.service);
    EXPECT_DOUBLE_EQ(1.5, options.seconds);
    EXPECT_EQ(3, options.count);
    EXPECT_DOUBLE_EQ(10, options.connectTimeout);
    EXPECT_EQ(13u, options.format);
    EXPECT_TRUE(options.hex);
    ASSERT_EQ(2u, options.links.size());
    EXPECT_EQ("T.h", options.links[0].topic);
    EXPECT_EQ("Last", options.links[0].item);
    EXPECT_EQ("a.b!c", options.links[1].item);
}

TEST(WatchOptions, HelpNeedsNoLink) {
    WatchOptions options;
    std::string error;
    EXPECT_TRUE(Parse({"--help"}, &options, &error));
    EXPECT_TRUE(options.help);
}

// clang-format off
struct ValueFormatCase {
    const char* reason;
    std::string data;
    bool hex;
    std::string printed;
};
const ValueFormatCase kValueFormatCases[] = {
    {"text up to its NUL",                  std::string("123\0", 4),       false, "123"},
    {"an empty value",                      std::string(1, '\0'),          false, ""},
    {"bytes after the NUL are not text",    std::string("1\0" "2", 3),     false, "1"},
    {"separators would break the line",     std::string("a\tb\r\nc\\\0", 9), false, "a\\tb\\r\\nc\\\\"},
    {"Shift_JIS bytes pass unchanged",      std::string("\x83\x41\0", 3),  false, "\x83\x41"},
    {"hex shows every byte and the NUL",    std::string("1A\0", 3),        true,  "314100"},
    {"an empty value in hex",               std::string(1, '\0'),          true,  "00"},
};
// clang-format on

TEST(CLineView, ValuesPrintAsTheirBytesWithSeparatorsEscaped) {
    for (const ValueFormatCase& c : kValueFormatCases)
        EXPECT_EQ(c.printed, CLineView::FormatValue(c.data, c.hex)) << c.reason;
}

TEST(CLineView, AnUpdateIsOneTabSeparatedLine) {
    CLineView view(stdout, stderr, {{"T.h", "Last"}}, false);
    EXPECT_EQ("1234\tT.h\tLast\t99\n", view.FormatUpdate(0, 1234, std::string("99\0", 3)));
}

TEST(CTableView, RowsShowStateValueAndDirectionOfChange) {
    CTableView view(stdout, stderr, "VORN", {{"a.h", "last"}, {"a.h", "bid"}, {"a.h", "name"}});
    view.OnLinked(0, true, 0);
    view.OnLinked(1, true, 0);
    view.OnLinked(2, false, DMLERR_NOTPROCESSED);
    std::string before = view.Render(0);
    EXPECT_NE(std::string::npos, before.find("waiting"));
    EXPECT_NE(std::string::npos, before.find("refused"));
    EXPECT_NE(std::string::npos, before.find("link refused: a.h!name"));

    view.OnUpdate(0, 100, std::string("10\0", 3));
    view.OnUpdate(0, 200, std::string("12\0", 3));
    view.OnUpdate(1, 300, std::string("9\0", 2));
    view.OnUpdate(1, 400, std::string("8\0", 2));
    std::string fresh = view.Render(500);
    EXPECT_NE(std::string::npos, fresh.find("\x1b[32m12"));  // rose: green
    EXPECT_NE(std::string::npos, fresh.find("\x1b[31m8 "));  // fell: red
    EXPECT_NE(std::string::npos, fresh.find("4 updates"));
    std::string later = view.Render(60000);
    EXPECT_EQ(std::string::npos, later.find("\x1b[32m12"));  // the highlight fades
    EXPECT_NE(std::string::npos, later.find("59s"));
}

class CDdeWatcherTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, server.Initialize(window.Handle(), ServiceName().c_str())); }

    TempWorkingDirectory directory;
    RecordingWindow window;
    CDdeServer server;
    RecordingView view;
};

TEST_F(CDdeWatcherTest, LinksEveryItemAndPassesOnWhatArrives) {
    CDdeWatcher watcher(view, {{"Rates.h", "Last"}, {"rates.h", "bid"}});
    ASSERT_EQ((UINT)DMLERR_NO_ERROR, watcher.Initialize());
    ASSERT_TRUE(watcher.Connect(ServiceName(), 0));
    EXPECT_EQ(2u, watcher.AdviseAll(CF_TEXT));
    ASSERT_EQ(0, server.SetItemValue("rates.h", "bid", "7"));
    ASSERT_TRUE(PumpUntil([&] { return watcher.Updates() == 1; }, 2000));
    EXPECT_EQ((std::vector<std::string>{"linked 0 0", "linked 1 0", std::string("update 1 7\0", 11)}), view.events);
    // One conversation served both links: the topic was connected once.
    std::vector<RecordingWindow::Event> events = window.Take();
    EXPECT_EQ(1, std::count_if(events.begin(), events.end(),
                               [](const RecordingWindow::Event& event) { return event.message == WM_APP_CONNECTED; }));
}

TEST_F(CDdeWatcherTest, ReportsAServiceThatIsNotThere) {
    CDdeWatcher watcher(view, {{"a.h", "last"}});
    ASSERT_EQ((UINT)DMLERR_NO_ERROR, watcher.Initialize());
    EXPECT_FALSE(watcher.Connect("VornNobodyHere", 0));
    EXPECT_EQ(std::vector<std::string>{"noconv VornNobodyHere a.h " + std::to_string(DMLERR_NO_CONV_ESTABLISHED)},
              view.events);
}

TEST_F(CDdeWatcherTest, ReportsRefusedLinksAndUnansweredRequests) {
    CDdeWatcher watcher(view, {{"a.h", "last"}});
    ASSERT_EQ((UINT)DMLERR_NO_ERROR, watcher.Initialize());
    ASSERT_TRUE(watcher.Connect(ServiceName(), 0));
    EXPECT_EQ(0u, watcher.AdviseAll(CF_UNICODETEXT));
    EXPECT_EQ(0u, watcher.RequestAll(CF_TEXT));
    std::string notProcessed = std::to_string(DMLERR_NOTPROCESSED);
    EXPECT_EQ((std::vector<std::string>{"refused 0 " + notProcessed, "nodata 0 " + notProcessed}), view.events);
}

TEST_F(CDdeWatcherTest, AConversationFoundGoneEndsTheRun) {
    CDdeWatcher watcher(view, {{"a.h", "last"}});
    ASSERT_EQ((UINT)DMLERR_NO_ERROR, watcher.Initialize());
    ASSERT_TRUE(watcher.Connect(ServiceName(), 0));
    watcher.CheckConversations([](HCONV) { return false; });
    EXPECT_FALSE(watcher.ServerEnded());
    watcher.CheckConversations([](HCONV) { return true; });
    EXPECT_TRUE(watcher.ServerEnded());
    EXPECT_EQ(std::vector<std::string>{"ended a.h"}, view.events);
}
