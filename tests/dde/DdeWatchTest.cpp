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
#include "DdeMiniServer.h"
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

// The table's lines without their escapes.
std::vector<std::string> PlainLines(const std::string& screen) {
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] == '\x1b') {
            i = screen.find_first_of("ABCDHJKlhm", i + 2);
            if (i == std::string::npos) break;
        } else if (screen[i] == '\n') {
            lines.emplace_back();
        } else {
            lines.back() += screen[i];
        }
    }
    return lines;
}

// The row of the table that starts with `name`, and where its value column
// starts by the headings.
std::string TableRow(const std::string& screen, const std::string& name, size_t* valueColumnOut = nullptr) {
    std::vector<std::string> lines = PlainLines(screen);
    for (const std::string& line : lines) {
        if (valueColumnOut && line.compare(0, 10, "TOPIC!ITEM") == 0) *valueColumnOut = line.find("VALUE");
    }
    for (const std::string& line : lines) {
        if (line.compare(0, name.size() + 1, name + " ") == 0) return line;
    }
    return std::string();
}

// The watcher with its DDEML instance and its conversations with `service`.
bool Start(CDdeWatcher& watcher, const std::string& service) {
    return watcher.Initialize() == DMLERR_NO_ERROR && watcher.Connect(service, 0);
}

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
    {"a table has no receipt clock",          {"--clock", "--table", "a!b"},        false},
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

TEST(WatchOptions, ValuesAndHelpLandInTheirFields) {
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

    WatchOptions help;
    EXPECT_TRUE(Parse({"--help"}, &help, &error)) << "help needs no link";
    EXPECT_TRUE(help.help);
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
    CLineView clocked(stdout, stderr, {{"T.h", "Last"}}, false, [] { return 1765357200123456LL; });
    EXPECT_EQ("1765357200123456\tT.h\tLast\t99\n", clocked.FormatUpdate(0, 1234, std::string("99\0", 3)));
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

// clang-format off
struct CellCase {
    const char* reason;
    std::string data;
    std::string shown;  // the value column, 24 wide
};
const CellCase kCellCases[] = {
    {"a plain value",                     std::string("1007701.0\0", 10),    "1007701.0               "},
    {"a trailing CR LF is dropped",       std::string("123\r\n\0", 6),       "123                     "},
    {"a line break inside is a blank",    std::string("a\r\nb\0", 5),        "a  b                    "},
    {"an escape cannot steer the screen", std::string("1\x1b[2J\0", 6),      "1 [2J                   "},
    {"a tab is a blank",                  std::string("a\tb\0", 4),          "a b                     "},
    {"bytes after the NUL are not shown", std::string("1\0" "2", 3),         "1                       "},
    {"a long value is cut and marked",    std::string("2018/3/18  21:34:56.78901\0", 26),
                                                                            "2018/3/18  21:34:56.789~"},
    {"a character is not cut in two",     std::string(22, 'x') + "\x83\x41y\0",
                                                                            std::string(22, 'x') + "~ "},
    {"one before the cut stays whole",    std::string(20, 'x') + "\x83\x41yyy\0",
                                                                            std::string(20, 'x') + "\x83\x41y~"},
};
// clang-format on

TEST(CTableView, ValuesShowOnOneLineInTheirColumn) {
    for (const CellCase& c : kCellCases) {
        CTableView view(stdout, stderr, "VORN", {{"a.h", "last"}, {"ticker.btc_jpy.h", "timestamp"}});
        view.OnLinked(0, true, 0);
        view.OnUpdate(0, 100, c.data);
        size_t valueColumn = std::string::npos;
        std::string row = TableRow(view.Render(200), "a.h!last", &valueColumn);
        ASSERT_NE(std::string::npos, valueColumn) << c.reason;
        EXPECT_EQ(c.shown, row.substr(valueColumn, 24)) << c.reason;
        EXPECT_EQ(std::string::npos, row.find_first_of("\r\n")) << c.reason;
    }
}

TEST(CTableView, EveryRowStartsWithItsLinkAndColumnsStayPut) {
    std::vector<WatchLink> links = {{"ticker.btc_jpy.h", "last"}, {"btc_jpy.r", "asks._.0"}, {"a", "b"}};
    CTableView view(stdout, stderr, "VORN", links);
    std::string before = view.Render(0);
    view.OnUpdate(1, 100, std::string(200, '9') + '\0');
    view.OnUpdate(2, 100, std::string("\r\n\0", 3));
    std::string after = view.Render(200);
    for (const WatchLink& link : links) {
        size_t columnBefore = 0, columnAfter = 0;
        std::string rowBefore = TableRow(before, link.topic + "!" + link.item, &columnBefore);
        std::string rowAfter = TableRow(after, link.topic + "!" + link.item, &columnAfter);
        EXPECT_FALSE(rowAfter.empty()) << link.item;
        EXPECT_EQ(columnBefore, columnAfter);
        EXPECT_EQ(rowBefore.size(), rowAfter.size()) << link.item;
    }
}

// The table asks the server's status topic about each row's topic; those
// links have no rows, and a server without the topic leaves "-".
TEST(CTableView, StatusLinksFillTheStateAndAgeOfTheirTopicsRows) {
    std::vector<WatchLink> links = {{"a.r", "last"}, {"b.h", "last"}, {"a.r", "bid"}};
    AddStatusLinks(&links);
    ASSERT_EQ(7u, links.size());
    EXPECT_EQ("a.r.state", links[3].item);
    EXPECT_EQ("b.h.age", links[6].item);
    CTableView view(stdout, stderr, "VORN", links);
    view.OnLinked(5, false, DMLERR_NOTPROCESSED);
    view.OnUpdate(3, 100, std::string("live\0", 5));
    view.OnUpdate(4, 100, std::string("3\0", 2));
    std::string screen = view.Render(200);
    for (const char* name : {"a.r!last", "a.r!bid"}) {
        std::string row = TableRow(screen, name);
        EXPECT_NE(std::string::npos, row.find(" live ")) << name;
        EXPECT_NE(std::string::npos, row.find(" 3s")) << name;
    }
    EXPECT_NE(std::string::npos, screen.find("\x1b[32mlive")) << "live is green";
    std::string polled = TableRow(screen, "b.h!last");
    EXPECT_EQ(std::string::npos, polled.find("live"));
    EXPECT_EQ(std::string::npos, screen.find("\nstatus!"));
    EXPECT_EQ(std::string::npos, screen.find("refused"));
    EXPECT_NE(std::string::npos, screen.find("3 links  0 updates"));
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
    ASSERT_TRUE(Start(watcher, ServiceName()));
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
    ASSERT_TRUE(Start(watcher, ServiceName()));
    EXPECT_EQ(0u, watcher.AdviseAll(CF_UNICODETEXT));
    EXPECT_EQ(0u, watcher.RequestAll(CF_TEXT));
    std::string notProcessed = std::to_string(DMLERR_NOTPROCESSED);
    EXPECT_EQ((std::vector<std::string>{"refused 0 " + notProcessed, "nodata 0 " + notProcessed}), view.events);
}

// clang-format off
struct AdviseRetryCase {
    const char* reason;
    int refusals;       // by the server
    UINT failure;       // of the next DDEML transaction, made by the stand-in
    bool linked;
    int advStarts;      // that reached the server
    UINT error;         // reported
};
const AdviseRetryCase kAdviseRetryCases[] = {
    {"a refusal is asked again",            1,  0, true,  2, DMLERR_NO_ERROR},
    {"refusals until the last try",         4,  0, true,  5, DMLERR_NO_ERROR},
    {"a refusal that lasts is reported",    99, 0, false, 5, DMLERR_NOTPROCESSED},
#ifndef _WIN32
    {"a busy server is asked again",        0,  DMLERR_BUSY,          true,  1, DMLERR_NO_ERROR},
    {"an acknowledgement too late, too",    0,  DMLERR_ADVACKTIMEOUT, true,  1, DMLERR_NO_ERROR},
    {"other failures are final",            0,  DMLERR_MEMORY_ERROR,  false, 0, DMLERR_MEMORY_ERROR},
#endif
};
// clang-format on

TEST(CDdeWatcher, AdviseStartsRefusedOrBusyAreAskedAgainAFewTimes) {
    const std::string name = UniqueName("VornRefusing");
    for (const AdviseRetryCase& c : kAdviseRetryCases) {
        DdeMiniServer server(name);
        server.refusals = c.refusals;
        RecordingView view;
        CDdeWatcher watcher(view, {{"a.h", "last"}});
        ASSERT_TRUE(Start(watcher, name)) << c.reason;
#ifndef _WIN32
        if (c.failure) VornDdeFailNextCall("DdeClientTransaction", c.failure);
#endif
        EXPECT_EQ(c.linked ? 1u : 0u, watcher.AdviseAll(CF_TEXT)) << c.reason;
        EXPECT_EQ(c.advStarts, server.advStarts) << c.reason;
        std::string shown = (c.linked ? "linked 0 " : "refused 0 ") + std::to_string(c.error);
        EXPECT_EQ(std::vector<std::string>{shown}, view.events) << c.reason;
    }
}

TEST_F(CDdeWatcherTest, AConversationFoundGoneEndsTheRun) {
    CDdeWatcher watcher(view, {{"a.h", "last"}});
    ASSERT_TRUE(Start(watcher, ServiceName()));
    watcher.CheckConversations([](HCONV) { return false; });
    EXPECT_FALSE(watcher.ServerEnded());
    watcher.CheckConversations([](HCONV) { return true; });
    EXPECT_TRUE(watcher.ServerEnded());
    EXPECT_EQ(std::vector<std::string>{"ended a.h"}, view.events);
}
