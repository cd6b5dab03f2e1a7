#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AppMessages.h"
#include "CDdeServer.h"
#include "CDdeStringHandle.h"
#include "DdeTestClient.h"
#include "RecordingWindow.h"
#include "TempWorkingDirectory.h"
#include "UniqueName.h"

namespace {

using Event = RecordingWindow::Event;

// Wine's DDEML delivers its messages a little later than the stand-in does.
const DWORD kDeliveryWaitMs = 2000;

// Suites of other test binaries may run at the same time under one Wine
// server; a name of our own keeps their clients away.
std::string ServiceName() {
    static const std::string name = UniqueName("VornTest");
    return name;
}

std::string Text(const char* value) {
    return std::string(value, strlen(value) + 1);
}

std::string Lowered(std::string text) {
    for (char& c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

class DdeServerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, server.Initialize(window.Handle(), ServiceName().c_str())); }

    HCONV Connect(DdeTestClient& by, const char* topic) { return by.Connect(ServiceName().c_str(), topic); }
    HCONV LinkedConversation(const char* topic, const char* item) {
        HCONV conv = Connect(client, topic);
        EXPECT_NE(nullptr, conv);
        EXPECT_TRUE(client.AdviseStart(conv, item));
        window.Take();
        return conv;
    }

    // What the server answers when DDEML asks for the item's data; false when
    // it answers NULL.
    bool AskAdvReq(const char* topic, const char* item, std::string* dataOut) {
        HDDEDATA data = Transaction(XTYP_ADVREQ, topic, item);
        if (!data) return false;
        dataOut->assign(DdeGetData(data, nullptr, 0, 0), '\0');
        DdeGetData(data, reinterpret_cast<LPBYTE>(&(*dataOut)[0]), (DWORD)dataOut->size(), 0);
        DdeFreeDataHandle(data);
        return true;
    }

    // Straight to the server's callback, as DDEML would call it.
    HDDEDATA Transaction(UINT type, const char* topic, const char* item, UINT format = CF_TEXT) {
        CDdeStringHandle topicHandle(client.Instance(), topic);
        CDdeStringHandle itemHandle(client.Instance(), item);
        return DdeCallback(type, format, nullptr, topicHandle.Get(), itemHandle.Get(), nullptr, 0, 0);
    }

    TempWorkingDirectory directory;
    RecordingWindow window;
    CDdeServer server;
    DdeTestClient client;
};

}  // namespace

TEST_F(DdeServerTest, ConnectionsAreAnsweredAndOnlyNewTopicsReportedToTheCore) {
    enum Service { kOurs, kOursLowered, kAnother };
    // connected: the topic WM_APP_CONNECTED names, nullptr when none is sent.
    const struct {
        const char* reason;
        Service service;
        const char* topic;
        LRESULT coreReply;
        bool accepted;
        const char* connected;
    } cases[] = {
        // clang-format off
        {"a new topic is sent lowered",          kOurs,        "Ticker.BTC_JPY.h", 1, true,  "ticker.btc_jpy.h"},
        {"a known topic is accepted silently",   kOurs,        "TICKER.btc_jpy.H", 1, true,  nullptr},
        // "ア" is 0x83 0x41 in Shift_JIS: its second byte is an 'A' that must stay.
        {"Shift_JIS keeps double-byte letters",  kOurs,        "\x83\x41Z.h",      1, true,  "\x83\x41z.h"},
        {"the service name in any letter case",  kOursLowered, "a.h",              1, true,  "a.h"},
        {"the core's reply becomes the answer",  kOurs,        "b.h",              0, false, "b.h"},
        {"another service name is refused",      kAnother,     "c.h",              1, false, nullptr},
        // clang-format on
    };
    // A client per row, kept to the end: the known topic's first
    // conversation still lasts.
    DdeTestClient clients[std::size(cases)];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        window.connectReply = c.coreReply;
        const std::string service = c.service == kOursLowered ? Lowered(ServiceName()) : ServiceName();
        // Another service goes straight to the callback: DDEML would not ask.
        const bool accepted = c.service == kAnother ? Transaction(XTYP_CONNECT, c.topic, "OTHERSERVICE", 0) != nullptr
                                                    : clients[&c - cases].Connect(service.c_str(), c.topic) != nullptr;
        EXPECT_EQ(c.accepted, accepted);
        std::vector<Event> expected;
        if (c.connected) expected.push_back(Event(WM_APP_CONNECTED, c.connected, ""));
        EXPECT_EQ(expected, window.Take());
    }
}

TEST_F(DdeServerTest, AdviseStartInTextPostsLoweredTopicAndItem) {
    HCONV conv = Connect(client, "Ticker.BTC_JPY.h");
    window.Take();
    EXPECT_TRUE(client.AdviseStart(conv, "Last_Price.Price"));
    EXPECT_EQ((std::vector<Event>{{WM_APP_ADVISE_START, "ticker.btc_jpy.h", "last_price.price"}}), window.Take());
}

TEST_F(DdeServerTest, AdviseStartInAnotherFormatIsRefusedAndLinksNothing) {
    HCONV conv = Connect(client, "a.h");
    window.Take();
    EXPECT_FALSE(client.AdviseStart(conv, "last", CF_UNICODETEXT));
    EXPECT_TRUE(window.Take().empty());
    EXPECT_EQ(-1, server.SetItemValue("a.h", "last", "1"));
}

TEST_F(DdeServerTest, AdviseStartOnAnItemAlreadyLinkedPostsAgain) {
    HCONV conv = LinkedConversation("a.h", "last");
    ASSERT_TRUE(client.AdviseStop(conv, "last"));
    ASSERT_TRUE(client.AdviseStart(conv, "LAST"));
    EXPECT_EQ((std::vector<Event>{{WM_APP_ADVISE_START, "a.h", "last"}}), window.Take());
    ASSERT_EQ(0, server.SetItemValue("a.h", "last", "42"));
    EXPECT_EQ(std::vector<std::string>{Text("42")}, client.Take(conv, "last", 1, kDeliveryWaitMs));
}

TEST_F(DdeServerTest, ValueStoredWhileTheAdviseStartIsHandledReachesTheNewLink) {
    window.onAdviseStart = [&](const std::string& topic, const std::string& item) {
        server.SetItemValue(topic, item, "-");
    };
    HCONV conv = Connect(client, "a.h");
    ASSERT_TRUE(client.AdviseStart(conv, "last"));
    window.Take();
    EXPECT_EQ(std::vector<std::string>{Text("-")}, client.Take(conv, "last", 1, kDeliveryWaitMs));
}

// clang-format off
struct ValueCase {
    const char* reason;
    const char* topicGiven;
    const char* itemGiven;
    int result;
    int deliveries;
};
const ValueCase kValueCases[] = {
    {"the lowered topic and the item as linked",        "ticker.btc_jpy.h", "last", 0,  1},
    {"items match without regard to case",              "ticker.btc_jpy.h", "LAST", 0,  1},
    {"the topic as the client wrote it is not lowered", "Ticker.BTC_JPY.h", "last", -1, 0},
    {"an item nobody linked",                           "ticker.btc_jpy.h", "bid",  -1, 0},
    {"a topic nobody connected",                        "other.h",          "last", -1, 0},
};
// clang-format on

TEST_F(DdeServerTest, SetItemValueFindsTopicsByLoweredNameAndItemsInAnyCase) {
    HCONV conv = LinkedConversation("Ticker.BTC_JPY.h", "Last");
    for (const ValueCase& c : kValueCases) {
        EXPECT_EQ(c.result, server.SetItemValue(c.topicGiven, c.itemGiven, "9")) << c.reason;
        EXPECT_EQ((size_t)c.deliveries, client.Take(conv, "last", c.deliveries, kDeliveryWaitMs).size()) << c.reason;
    }
}

TEST_F(DdeServerTest, StoredValuesArriveAsTextEndingAtTheirFirstNul) {
    const struct {
        const char* reason;
        std::vector<std::string> stored, delivered;
    } cases[] = {
        {"every store notifies, even with the same text", {"7", "7"}, {Text("7"), Text("7")}},
        {"an empty value arrives as one NUL byte", {""}, {std::string(1, '\0')}},
        {"values are cut at their first NUL", {std::string{'1', '2', '\0', '3', '4'}}, {Text("12")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string topic = "v" + std::to_string(&c - cases) + ".h";
        HCONV conv = LinkedConversation(topic.c_str(), "last");
        for (const std::string& value : c.stored)
            ASSERT_EQ(0, server.SetItemValue(topic, "last", value));
        EXPECT_EQ(c.delivered, client.Take(conv, "last", c.delivered.size(), kDeliveryWaitMs));
    }
}

TEST_F(DdeServerTest, ItemsLinkedButNeverValuedAnswerOneNulByte) {
    LinkedConversation("a.h", "last");
    std::string data;
    ASSERT_TRUE(AskAdvReq("a.h", "last", &data));
    EXPECT_EQ(std::string(1, '\0'), data);
    EXPECT_FALSE(AskAdvReq("a.h", "bid", &data));
    EXPECT_FALSE(AskAdvReq("b.h", "last", &data));
}

TEST_F(DdeServerTest, RequestsGetNoDataEvenForAValuedItem) {
    HCONV conv = LinkedConversation("a.h", "last");
    ASSERT_EQ(0, server.SetItemValue("a.h", "last", "5"));
    // Wine's client would take advise data still queued for the answer.
    ASSERT_EQ(1u, client.Take(conv, "last", 1, kDeliveryWaitMs).size());
    std::string data;
    EXPECT_FALSE(client.Request(conv, "last", &data));
}

TEST_F(DdeServerTest, AdviseStopKeepsTheItemAndTellsNobody) {
    HCONV conv = LinkedConversation("a.h", "last");
    ASSERT_TRUE(client.AdviseStop(conv, "last"));
    EXPECT_TRUE(window.Take().empty());
    EXPECT_EQ(0, server.SetItemValue("a.h", "last", "8"));
    EXPECT_TRUE(client.Take(conv, "last", 1, 200).empty());
    std::string data;
    ASSERT_TRUE(AskAdvReq("a.h", "last", &data));
    EXPECT_EQ(Text("8"), data);
}

// kStray: DDEML's disconnect notification without a conversation.
enum LinkAction { kAdvise, kStop, kLeave, kStray };
struct LinkStep {
    int conv;  // 0 or 1, each through a client of its own
    LinkAction action;
    const char* item;
    size_t disconnectsSent;
};
struct LeaveCase {
    const char* reason;
    int conversations;  // 1 or 2, connected before the steps
    std::vector<LinkStep> steps;
};
// clang-format off
const LeaveCase kLeaveCases[] = {
    {"the one recorded conversation leaving is reported",
     1, {{0, kAdvise, "last", 0}, {0, kLeave, "", 1}}},
    {"leaving without any advise start reports nothing",
     1, {{0, kLeave, "", 0}}},
    // The entry has no conversation recorded yet; a stray notification must
    // not be taken for it.
    {"a disconnect notification without a conversation matches no entry",
     1, {{0, kStray, "", 0}}},
    {"the first to advise leaves while the second still advises",
     2, {{0, kAdvise, "last", 0}, {1, kAdvise, "bid", 0}, {0, kLeave, "", 0}, {1, kLeave, "", 1}}},
    {"the last to advise leaves first",
     2, {{1, kAdvise, "bid", 0}, {0, kAdvise, "last", 0}, {0, kLeave, "", 0}, {1, kLeave, "", 1}}},
    {"both advise the same item",
     2, {{0, kAdvise, "last", 0}, {1, kAdvise, "last", 0}, {0, kLeave, "", 0}, {1, kLeave, "", 1}}},
    {"a conversation that never advised does not hold the topic",
     2, {{0, kAdvise, "last", 0}, {1, kLeave, "", 0}, {0, kLeave, "", 1}}},
    {"stopping the last loop reports nothing; leaving afterwards does, as before",
     2, {{0, kAdvise, "last", 0}, {0, kStop, "last", 0}, {0, kLeave, "", 1}}},
    {"a conversation whose loops all stopped no longer holds the topic, and is not reported twice",
     2, {{0, kAdvise, "last", 0}, {1, kAdvise, "bid", 0}, {1, kStop, "bid", 0}, {0, kLeave, "", 1}, {1, kLeave, "", 0}}},
    {"one stopped loop of two keeps its conversation advising",
     2, {{0, kAdvise, "last", 0}, {0, kAdvise, "bid", 0}, {1, kAdvise, "ask", 0}, {0, kStop, "last", 0},
      {1, kLeave, "", 0}, {0, kLeave, "", 1}}},
    {"an advise start repeated on one item is still one loop",
     2, {{0, kAdvise, "last", 0}, {0, kAdvise, "last", 0}, {1, kAdvise, "bid", 0}, {0, kStop, "last", 0},
      {1, kLeave, "", 1}, {0, kLeave, "", 0}}},
    {"the one left advises again and then leaves",
     2, {{0, kAdvise, "last", 0}, {1, kAdvise, "bid", 0}, {0, kLeave, "", 0}, {1, kAdvise, "ask", 0},
      {1, kLeave, "", 1}}},
    {"advising again after the report is followed anew",
     2, {{0, kAdvise, "last", 0}, {1, kAdvise, "bid", 0}, {1, kStop, "bid", 0}, {0, kLeave, "", 1},
      {1, kAdvise, "ask", 0}, {1, kLeave, "", 1}}},
};
// clang-format on

bool Apply(DdeTestClient& by, HCONV conv, const LinkStep& step) {
    switch (step.action) {
        case kAdvise:
            return by.AdviseStart(conv, step.item);
        case kStop:
            return by.AdviseStop(conv, step.item);
        case kLeave:
            return by.Disconnect(conv);
        case kStray:
            return DdeCallback(XTYP_DISCONNECT, 0, nullptr, nullptr, nullptr, nullptr, 0, 0) == nullptr;
    }
    return false;
}

TEST_F(DdeServerTest, OnlyTheEndOfTheLastAdvisingConversationOfATopicIsReported) {
    for (size_t row = 0; row < sizeof(kLeaveCases) / sizeof(kLeaveCases[0]); ++row) {
        const LeaveCase& c = kLeaveCases[row];
        // A topic per row: an entry outlives its conversations. Reports name
        // it lowered.
        std::string topic = "Leave" + std::to_string(row) + ".H";
        DdeTestClient clients[2];
        HCONV convs[2] = {Connect(clients[0], topic.c_str()), nullptr};
        if (c.conversations == 2) convs[1] = Connect(clients[1], topic.c_str());
        ASSERT_TRUE(convs[0] && (c.conversations == 1 || convs[1])) << c.reason;
        window.Take();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const LinkStep& step = c.steps[i];
            ASSERT_TRUE(Apply(clients[step.conv], convs[step.conv], step)) << c.reason << ", step " << i;
            // Nothing but the advise starts and the reports asked for.
            std::vector<Event> events = window.Take();
            events.erase(std::remove_if(events.begin(), events.end(),
                                        [](const Event& e) { return e.message == WM_APP_ADVISE_START; }),
                         events.end());
            EXPECT_EQ(std::vector<Event>(step.disconnectsSent, Event(WM_APP_DISCONNECTED, Lowered(topic), "")), events)
                << c.reason << ", step " << i;
        }
    }
}

TEST_F(DdeServerTest, ValuesSurviveTheClientsDepartureAndServeItsReturn) {
    {
        DdeTestClient leaving;
        HCONV conv = Connect(leaving, "Ticker.BTC_JPY.h");
        ASSERT_TRUE(leaving.AdviseStart(conv, "Last"));
        ASSERT_EQ(0, server.SetItemValue("ticker.btc_jpy.h", "last", "100"));
        window.Take();
    }  // the client and every handle it held are gone
    EXPECT_EQ((std::vector<Event>{{WM_APP_DISCONNECTED, "ticker.btc_jpy.h", ""}}), window.Take());
    EXPECT_EQ(0, server.SetItemValue("ticker.btc_jpy.h", "last", "101"));

    HCONV conv = Connect(client, "ticker.btc_jpy.h");
    ASSERT_NE(nullptr, conv);
    ASSERT_TRUE(client.AdviseStart(conv, "last"));
    EXPECT_EQ((std::vector<Event>{{WM_APP_ADVISE_START, "ticker.btc_jpy.h", "last"}}), window.Take());
    std::string data;
    ASSERT_TRUE(AskAdvReq("ticker.btc_jpy.h", "last", &data));
    EXPECT_EQ(Text("101"), data);
}

TEST_F(DdeServerTest, SetItemValueReleasesTheHandlesItMade) {
    LinkedConversation("a.h", "last");
    HSZ probe = DdeCreateStringHandleA(client.Instance(), "probe.item", CP_WINANSI);
    ASSERT_NE(nullptr, probe);
    EXPECT_EQ(-1, server.SetItemValue("a.h", "probe.item", "1"));
    EXPECT_EQ(0, server.SetItemValue("a.h", "last", "1"));
    ASSERT_TRUE(DdeFreeStringHandle(client.Instance(), probe));
    // Nobody holds the text any more: DDEML has forgotten it.
    char text[CDdeTopic::kNameSize] = {};
    EXPECT_EQ(0u, DdeQueryStringA(client.Instance(), probe, text, sizeof(text), CP_WINANSI));
}

TEST_F(DdeServerTest, ThirtyThirdTopicIsAcceptedButServesNothing) {
    for (int i = 0; i < CDdeServer::kMaxTopics; ++i)
        ASSERT_NE(nullptr, Connect(client, ("t" + std::to_string(i) + ".h").c_str()));
    EXPECT_EQ((size_t)CDdeServer::kMaxTopics, window.Take().size());

    HCONV extra = Connect(client, "t32.h");
    ASSERT_NE(nullptr, extra);
    EXPECT_FALSE(client.AdviseStart(extra, "last"));
    EXPECT_TRUE(window.Take().empty());
    EXPECT_EQ(-1, server.SetItemValue("t32.h", "last", "1"));

    // The server's own topic has a slot of its own, and is no new topic for
    // the core: no WM_APP_CONNECTED, whose quiet time would drop values.
    HCONV status = Connect(client, "Status");
    ASSERT_NE(nullptr, status);
    EXPECT_TRUE(client.AdviseStart(status, "a.h.state"));
    EXPECT_EQ((std::vector<RecordingWindow::Event>{{WM_APP_ADVISE_START, "status", "a.h.state"}}), window.Take());
    EXPECT_EQ(0, server.SetItemValue("status", "a.h.state", "live"));
}

TEST_F(DdeServerTest, ItemTableTakes2048ItemsAndRefusesOnlyThe2049th) {
    HCONV conv = Connect(client, "a.h");
    for (int i = 0; i < CDdeTopic::kMaxItems; ++i)
        ASSERT_TRUE(client.AdviseStart(conv, ("i" + std::to_string(i)).c_str())) << i;
    EXPECT_EQ((size_t)CDdeTopic::kMaxItems + 1, window.Take().size());  // and the connect

    EXPECT_FALSE(client.AdviseStart(conv, "one.too.many"));
    EXPECT_TRUE(window.Take().empty());
    // The entry and its links stay.
    EXPECT_EQ(0, server.SetItemValue("a.h", "i2047", "last one"));
    EXPECT_EQ(std::vector<std::string>{Text("last one")}, client.Take(conv, "i2047", 1, kDeliveryWaitMs));
    EXPECT_EQ(0, server.SetItemValue("a.h", "i0", "first one"));
    EXPECT_EQ(std::vector<std::string>{Text("first one")}, client.Take(conv, "i0", 1, kDeliveryWaitMs));
    // Items already there are still accepted.
    EXPECT_TRUE(client.AdviseStart(conv, "i5"));
    EXPECT_EQ((std::vector<Event>{{WM_APP_ADVISE_START, "a.h", "i5"}}), window.Take());
}

// clang-format off
struct AnswerCase {
    const char* reason;
    UINT type;
    LONG_PTR answer;
};
const AnswerCase kAnswerCases[] = {
    {"one-off requests get no data",             XTYP_REQUEST,         0},
    {"pokes are not processed",                  XTYP_POKE,            DDE_FNOTPROCESSED},
    {"executes are not processed",               XTYP_EXECUTE,         DDE_FNOTPROCESSED},
    {"wildcard connections list nothing",        XTYP_WILDCONNECT,     0},
    {"an advise stop changes nothing",           XTYP_ADVSTOP,         0},
    {"a confirmed connection needs no record",   XTYP_CONNECT_CONFIRM, 1},
    {"registrations of others are ignored",      XTYP_REGISTER,        0},
    {"unregistrations of others are ignored",    XTYP_UNREGISTER,      0},
    {"a server gets no advise data",             XTYP_ADVDATA,         0},
    {"completions of async transactions",        XTYP_XACT_COMPLETE,   0},
    {"errors reported by DDEML",                 XTYP_ERROR,           0},
    {"monitor notifications",                    XTYP_MONITOR,         0},
};
// clang-format on

TEST_F(DdeServerTest, TransactionsOutsideHotLinksGetTheirFixedAnswers) {
    HCONV conv = LinkedConversation("a.h", "last");
    ASSERT_EQ(0, server.SetItemValue("a.h", "last", "3"));
    client.Take(conv, "last", 1, kDeliveryWaitMs);
    for (const AnswerCase& c : kAnswerCases) {
        HDDEDATA answer = Transaction(c.type, "a.h", "last");
        EXPECT_EQ(c.answer, reinterpret_cast<LONG_PTR>(answer)) << c.reason;
        EXPECT_TRUE(window.Take().empty()) << c.reason;
    }
    EXPECT_EQ(0, server.SetItemValue("a.h", "last", "4"));
    EXPECT_EQ(std::vector<std::string>{Text("4")}, client.Take(conv, "last", 1, kDeliveryWaitMs));
}

// The server is the test's own here, made and ended within it.
class DdeServerLifetime : public testing::Test {
protected:
    TempWorkingDirectory directory;
    RecordingWindow window;
    DdeTestClient client;
};

TEST_F(DdeServerLifetime, EndingTheServerWithdrawsTheService) {
    {
        CDdeServer server;
        ASSERT_EQ(1, server.Initialize(window.Handle(), ServiceName().c_str()));
        ASSERT_NE(nullptr, client.Connect(ServiceName().c_str(), "a.h"));
    }
    EXPECT_EQ(nullptr, client.Connect(ServiceName().c_str(), "a.h"));
}

TEST_F(DdeServerLifetime, LongServiceNamesServeUnderTheirFirst63Characters) {
    std::string name = ServiceName() + std::string(70, 'x');
    CDdeServer server;
    ASSERT_EQ(1, server.Initialize(window.Handle(), name.c_str()));
    EXPECT_EQ(nullptr, client.Connect(name.c_str(), "a.h"));
    EXPECT_NE(nullptr, client.Connect(name.substr(0, 63).c_str(), "a.h"));
}
