#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DdeMiniServer.h"
#include "DdeTestClient.h"
#include "UniqueName.h"

// The DDEML behaviour the server relies on, run against the stand-in natively
// and against Wine's DDEML, so the two are seen to agree.

namespace {

std::string ServiceName() {
    static const std::string name = UniqueName("VornDdeml");
    return name;
}

}  // namespace

TEST(Ddeml, StringHandlesOfTextsDifferingOnlyInCaseAreEqual) {
    DdeTestClient client;
    DWORD id = client.Instance();
    HSZ mixed = DdeCreateStringHandleA(id, "Ticker.BTC_JPY.h", CP_WINANSI);
    HSZ upper = DdeCreateStringHandleA(id, "TICKER.BTC_JPY.H", CP_WINANSI);
    HSZ other = DdeCreateStringHandleA(id, "ticker.btc_jpy.r", CP_WINANSI);
    EXPECT_EQ(mixed, upper);
    EXPECT_EQ(0, DdeCmpStringHandles(mixed, upper));
    EXPECT_NE(mixed, other);
    char text[64] = {};
    DdeQueryStringA(id, upper, text, sizeof(text), CP_WINANSI);
    EXPECT_STREQ("Ticker.BTC_JPY.h", text);  // the spelling that made the handle
    DdeFreeStringHandle(id, mixed);
    DdeFreeStringHandle(id, upper);
    DdeFreeStringHandle(id, other);
}

TEST(Ddeml, QueryStringCopiesAtMost63CharactersAndANul) {
    DdeTestClient client;
    std::string longText(100, 'n');
    HSZ hsz = DdeCreateStringHandleA(client.Instance(), longText.c_str(), CP_WINANSI);
    char text[64];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(63u, DdeQueryStringA(client.Instance(), hsz, text, sizeof(text), CP_WINANSI));
    EXPECT_EQ(std::string(63, 'n'), std::string(text));
    EXPECT_EQ(100u, DdeQueryStringA(client.Instance(), hsz, nullptr, 0, CP_WINANSI));
    DdeFreeStringHandle(client.Instance(), hsz);
}

TEST(Ddeml, StringHandlesLiveUntilEveryCreateAndKeepIsFreed) {
    DdeTestClient client;
    DWORD id = client.Instance();
    HSZ hsz = DdeCreateStringHandleA(id, "counted.item", CP_WINANSI);
    ASSERT_TRUE(DdeKeepStringHandle(id, hsz));
    char text[64];
    ASSERT_TRUE(DdeFreeStringHandle(id, hsz));
    EXPECT_NE(0u, DdeQueryStringA(id, hsz, text, sizeof(text), CP_WINANSI));
    ASSERT_TRUE(DdeFreeStringHandle(id, hsz));
    EXPECT_EQ(0u, DdeQueryStringA(id, hsz, text, sizeof(text), CP_WINANSI));
    EXPECT_FALSE(DdeFreeStringHandle(id, hsz));
}

TEST(Ddeml, EmptyAndOverlongTextsHaveNoHandle) {
    DdeTestClient client;
    EXPECT_EQ(nullptr, DdeCreateStringHandleA(client.Instance(), "", CP_WINANSI));
    EXPECT_EQ(nullptr, DdeCreateStringHandleA(client.Instance(), std::string(256, 'a').c_str(), CP_WINANSI));
}

TEST(Ddeml, LastErrorIsReturnedOnceAndCleared) {
    DdeTestClient client;
    EXPECT_EQ(nullptr, client.Connect("VornNobodyServesThis", "a.h"));
    EXPECT_EQ((UINT)DMLERR_NO_CONV_ESTABLISHED, DdeGetLastError(client.Instance()));
    EXPECT_EQ((UINT)DMLERR_NO_ERROR, DdeGetLastError(client.Instance()));
    EXPECT_EQ((UINT)DMLERR_INVALIDPARAMETER, DdeGetLastError(0));
}

TEST(Ddeml, AdviseLoopLastsFromAnAcceptedStartUntilItsStop) {
    DdeMiniServer server(ServiceName());
    DdeTestClient client;
    HCONV conv = client.Connect(ServiceName().c_str(), "a.h");
    ASSERT_NE(nullptr, conv);
    EXPECT_EQ(0, server.PostAdvise("a.h", "last"));

    server.acceptAdvise = FALSE;
    EXPECT_FALSE(client.AdviseStart(conv, "last"));
    EXPECT_EQ((UINT)DMLERR_NOTPROCESSED, client.LastError());
    EXPECT_EQ(0, server.PostAdvise("a.h", "last"));

    server.acceptAdvise = TRUE;
    ASSERT_TRUE(client.AdviseStart(conv, "last"));
    EXPECT_EQ(1, server.PostAdvise("a.h", "LAST"));
    EXPECT_EQ(0, server.PostAdvise("a.h", "bid"));
    EXPECT_EQ(std::vector<std::string>{std::string("v", 2)}, client.Take(conv, "last", 1, 2000));

    ASSERT_TRUE(client.AdviseStop(conv, "last"));
    EXPECT_EQ(0, server.PostAdvise("a.h", "last"));
}

TEST(Ddeml, PostAdviseAsksOncePerLoopAndADisconnectEndsTheLoop) {
    DdeMiniServer server(ServiceName());
    DdeTestClient first;
    DdeTestClient second;
    HCONV a = first.Connect(ServiceName().c_str(), "a.h");
    HCONV b = second.Connect(ServiceName().c_str(), "a.h");
    ASSERT_TRUE(first.AdviseStart(a, "last"));
    ASSERT_TRUE(second.AdviseStart(b, "last"));
    EXPECT_EQ(2, server.PostAdvise("a.h", "last"));

    ASSERT_TRUE(first.Disconnect(a));
    PumpMessages();
    EXPECT_EQ(1, server.PostAdvise("a.h", "last"));
}

TEST(Ddeml, DataHandlesHoldTheirBytes) {
    DdeTestClient client;
    HDDEDATA data = DdeCreateDataHandle(client.Instance(), (LPBYTE) "abc", 4, 0, nullptr, CF_TEXT, 0);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(4u, DdeGetData(data, nullptr, 0, 0));
    DWORD size = 0;
    LPBYTE bytes = DdeAccessData(data, &size);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(std::string("abc", 4), std::string(reinterpret_cast<char*>(bytes), 4));
    DdeUnaccessData(data);
    EXPECT_TRUE(DdeFreeDataHandle(data));
}
