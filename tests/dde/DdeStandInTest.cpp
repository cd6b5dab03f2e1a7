#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AppMessages.h"
#include "CDdeServer.h"
#include "CDdeStringHandle.h"
#include "DdeErrors.h"
#include "DdeTestClient.h"
#include "RecordingWindow.h"
#include "TempWorkingDirectory.h"

// What only the in-process DDEML can show: DDEML calls that fail on purpose,
// every error code, and advise loops kept apart by topic (Wine's DDEML also
// serves loops on the same item name under other topics).

namespace {

const char kService[] = "VORN";

std::string Text(const char* value) {
    return std::string(value, strlen(value) + 1);
}

// Leaves `error` as the instance's last error.
void SetLastDdeError(DWORD instanceId, UINT error) {
    VornDdeFailNextCall("DdeQueryStringA", error);
    char unused[8];
    DdeQueryStringA(instanceId, nullptr, unused, sizeof(unused), CP_WINANSI);
}

class DdeStandInTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, server.Initialize(window.Handle(), kService)); }
    HCONV Link(const char* topic, const char* item) {
        HCONV conv = client.Connect(kService, topic);
        EXPECT_TRUE(client.AdviseStart(conv, item));
        window.Take();
        return conv;
    }

    TempWorkingDirectory directory;
    RecordingWindow window;
    CDdeServer server;
    DdeTestClient client;
};

}  // namespace

// clang-format off
struct InitializeFailure {
    const char* reason;
    const char* function;
    UINT error;
    std::vector<std::string> logged;
};
const InitializeFailure kInitializeFailures[] = {
    // Without an instance the error asked for is that of an unknown instance.
    {"no instance",               "DdeInitializeA",         DMLERR_SYS_ERROR,
     {"DDEML がパラメータを有効にできませんでした。次の理由が考えられます。\r\n",
      "トランザクションが要求するものとは異なる項目名のハンドルで初期化したデータハンドルを使ったため。\r\n",
      "トランザクションが要求するものとは異なるクリップボードデータ形式で初期化したデータハンドルを使ったため。\r\n",
      "サーバー側関数でクライアント側の対話ハンドルを使ったか、クライアント側でサーバー側の対話ハンドルを使ったため。\r\n",
      "解放されたデータハンドルまたは文字列ハンドルを使ったため。\r\n",
      "アプリケーションの複数のインスタンスが同じオブジェクトを使ったため。\r\n"}},
    {"no service name handle",    "DdeCreateStringHandleA", DMLERR_MEMORY_ERROR,
     {"メモリ割り当てに失敗しました。\r\n"}},
    {"service name not registered", "DdeNameService",       DMLERR_SYS_ERROR,
     {"DDEMLで内部エラーが発生しました。\r\n"}},
};
// clang-format on

TEST(DdeServerFailure, InitializeLogsTheDdemlErrorAndFails) {
    for (const InitializeFailure& c : kInitializeFailures) {
        TempWorkingDirectory directory;
        RecordingWindow window;
        CDdeServer server;
        VornDdeFailNextCall(c.function, c.error);
        EXPECT_EQ(0, server.Initialize(window.Handle(), kService)) << c.reason;
        EXPECT_EQ(c.logged, directory.LogMessages()) << c.reason;
        DdeTestClient client;
        EXPECT_EQ(nullptr, client.Connect(kService, "a.h")) << c.reason;
    }
}

TEST_F(DdeStandInTest, FailedPostAdviseIsLoggedAndTheValueStaysStored) {
    HCONV conv = Link("a.h", "last");
    VornDdeFailNextCall("DdePostAdvise", DMLERR_POSTMSG_FAILED);
    EXPECT_EQ(0, server.SetItemValue("a.h", "last", "12"));
    EXPECT_EQ(std::vector<std::string>{"関数の内部呼び出しに失敗しました。\r\n"}, directory.LogMessages());
    EXPECT_TRUE(client.Take(conv, "last").empty());

    CDdeStringHandle topic(client.Instance(), "a.h");
    CDdeStringHandle item(client.Instance(), "last");
    HDDEDATA data = DdeCallback(XTYP_ADVREQ, CF_TEXT, nullptr, topic.Get(), item.Get(), nullptr, 0, 0);
    ASSERT_NE(nullptr, data);
    char text[8] = {};
    DdeGetData(data, reinterpret_cast<LPBYTE>(text), sizeof(text), 0);
    EXPECT_STREQ("12", text);
    DdeFreeDataHandle(data);
}

// Names are read once, as the link comes: an unreadable one is logged then,
// not again with every value that finds nothing, and travels as "".
TEST_F(DdeStandInTest, UnreadableItemNameIsLoggedOnceTravelsEmptyAndFindsNothing) {
    const struct {
        const char* name;
        UINT error;
        std::vector<std::string> logged;
    } cases[] = {
        {"an invalid parameter, logged with its six causes", DMLERR_INVALIDPARAMETER, kInitializeFailures[0].logged},
        {"an internal error", DMLERR_SYS_ERROR, {"DDEMLで内部エラーが発生しました。\r\n"}},
    };
    std::vector<std::string> log;  // all of it, from the first row on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string topic = "t" + std::to_string(c.error) + ".h";
        HCONV conv = client.Connect(kService, topic.c_str());
        window.Take();
        VornDdeFailNextCall("DdeQueryStringA", c.error);
        ASSERT_TRUE(client.AdviseStart(conv, "last"));
        EXPECT_EQ((std::vector<RecordingWindow::Event>{{WM_APP_ADVISE_START, topic, ""}}), window.Take());
        log.insert(log.end(), c.logged.begin(), c.logged.end());
        EXPECT_EQ(log, directory.LogMessages());
        EXPECT_EQ(-1, server.SetItemValue(topic, "last", "1"));
        EXPECT_EQ(-1, server.SetItemValue(topic, "last", "2"));
        EXPECT_EQ(log, directory.LogMessages());
    }
}

// Under Wine only the last of two clients of one process linked to an item
// gets its data, and loops on that item name under other topics get it too.
TEST_F(DdeStandInTest, EveryClientLinkedToAnItemGetsItsValueAndLoopsOfOtherTopicsDoNot) {
    DdeTestClient other;
    HCONV first = Link("a.h", "last");
    HCONV second = other.Connect(kService, "a.h");
    ASSERT_TRUE(other.AdviseStart(second, "Last"));
    EXPECT_EQ((std::vector<RecordingWindow::Event>{{WM_APP_ADVISE_START, "a.h", "last"}}), window.Take());
    HCONV elsewhere = Link("b.h", "last");
    ASSERT_EQ(0, server.SetItemValue("a.h", "last", "42"));
    EXPECT_EQ(std::vector<std::string>{Text("42")}, client.Take(first, "last"));
    EXPECT_EQ(std::vector<std::string>{Text("42")}, other.Take(second, "last"));
    EXPECT_TRUE(client.Take(elsewhere, "last").empty());
}

TEST(ReportDdeError, WritesOneEntryPerCodeOfTheTableAndSixForABadParameter) {
    TempWorkingDirectory directory;
    DdeTestClient client;
    for (UINT code = DMLERR_FIRST - 1; code <= DMLERR_LAST + 1; ++code) {
        size_t before = directory.LogMessages().size();
        SetLastDdeError(client.Instance(), code);
        ReportDdeError(client.Instance());
        size_t expected = code == DMLERR_INVALIDPARAMETER ? 6 : (code >= DMLERR_FIRST && code <= DMLERR_LAST) ? 1 : 0;
        EXPECT_EQ(expected, directory.LogMessages().size() - before) << std::hex << code;
    }
}

TEST(ReportDdeError, FullWidthParenthesesAreCodePage932) {
    TempWorkingDirectory directory;
    DdeTestClient client;
    SetLastDdeError(client.Instance(), DMLERR_DLL_USAGE);
    ReportDdeError(client.Instance());
    SetLastDdeError(client.Instance(), DMLERR_LOW_MEMORY);
    ReportDdeError(client.Instance());
    std::vector<std::string> messages = directory.LogMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_NE(std::string::npos, messages[0].find("DDE\x81\x69"
                                                  "Dynamic Data Exchange\x81\x6a"));
    // The second text has a blank after its opening parenthesis.
    EXPECT_NE(std::string::npos, messages[1].find("\x81\x69 "));
}

// Wine tells a client of its own process nothing when the server instance
// ends; Windows and the stand-in end the conversation with XTYP_DISCONNECT.
TEST(StandInDdeml, EndingTheServerInstanceTellsItsClients) {
    TempWorkingDirectory directory;
    RecordingWindow window;
    DdeTestClient client;
    HCONV conv = nullptr;
    {
        CDdeServer server;
        ASSERT_EQ(1, server.Initialize(window.Handle(), kService));
        conv = client.Connect(kService, "a.h");
        ASSERT_NE(nullptr, conv);
        window.Take();
    }
    EXPECT_TRUE(client.IsDisconnected(conv));
}

TEST(StandInDdeml, AHandleReleasedForGoodIsNeverGivenOutAgain) {
    DdeTestClient client;
    HSZ first = DdeCreateStringHandleA(client.Instance(), "gone.h", CP_WINANSI);
    ASSERT_TRUE(DdeFreeStringHandle(client.Instance(), first));
    HSZ second = DdeCreateStringHandleA(client.Instance(), "GONE.h", CP_WINANSI);
    EXPECT_NE(first, second);
    char text[64];
    EXPECT_EQ(0u, DdeQueryStringA(client.Instance(), first, text, sizeof(text), CP_WINANSI));
    EXPECT_EQ((UINT)DMLERR_INVALIDPARAMETER, DdeGetLastError(client.Instance()));
    DdeFreeStringHandle(client.Instance(), second);
}
