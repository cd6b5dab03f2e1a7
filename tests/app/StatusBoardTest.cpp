#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CStatusBoard.h"

namespace {

const DWORD kNow = 1000000;

CStatusBoard::Feed MakeFeed(const std::string& topic, unsigned long documents, DWORD ageMs) {
    CStatusBoard::Feed feed;
    feed.topic = topic;
    feed.streaming = topic.size() > 2 && topic.compare(topic.size() - 2, 2, ".r") == 0;
    feed.paused = false;
    feed.health.documents = documents;
    feed.health.lastDocumentTick = kNow - ageMs;
    return feed;
}

class StatusBoardTest : public ::testing::Test {
protected:
    void SetUp() override { board.SetLimits(5, 2000); }
    CStatusBoard board;
};

// A polled feed may miss one poll: 2 x 5 s + 2 s. A stream may be quiet for
// 2 s, the read time-out.
TEST_F(StatusBoardTest, StateFollowsTheFeedsFlagsAndTheAgeOfItsLastDocument) {
    struct Case {
        CStatusBoard::Feed feed;
        bool paused;
        bool failing;
        const char* state;
    };
    const Case cases[] = {
        {MakeFeed("a.h", 0, 0), false, false, "connecting"}, {MakeFeed("a.h", 3, 12000), false, false, "live"},
        {MakeFeed("a.h", 3, 12001), false, false, "stale"},  {MakeFeed("a.r", 3, 2000), false, false, "live"},
        {MakeFeed("a.r", 3, 2001), false, false, "stale"},   {MakeFeed("a.r", 3, 0), false, true, "failed"},
        {MakeFeed("a.r", 0, 0), true, true, "paused"},
    };
    for (Case c : cases) {
        c.feed.paused = c.paused;
        c.feed.health.failing = c.failing;
        EXPECT_STREQ(c.state, board.StateOf(c.feed, kNow))
            << c.feed.topic << " " << kNow - c.feed.health.lastDocumentTick;
    }
    CStatusBoard::Feed wrapped = MakeFeed("a.r", 1, 0);
    wrapped.health.lastDocumentTick = 0xFFFFFF00;
    EXPECT_STREQ("live", board.StateOf(wrapped, 0x100)) << "across the tick counter's wrap";
}

TEST_F(StatusBoardTest, ItemsNameATopicAndAFieldOrTheServer) {
    std::vector<CStatusBoard::Feed> feeds = {MakeFeed("btc_jpy.r", 7, 1999), MakeFeed("ticker.btc_jpy.h", 0, 0)};
    feeds[1].health.failing = true;
    feeds[1].health.error = "host:443 接続失敗（接続拒否）";
    struct Case {
        const char* item;
        std::string text;
    };
    const Case cases[] = {
        {"btc_jpy.r.state", "live"},
        {"BTC_JPY.R.State", "live"},
        {"btc_jpy.r.age", "1"},
        {"btc_jpy.r.updates", "7"},
        {"btc_jpy.r.error", ""},
        {"ticker.btc_jpy.h.state", "failed"},
        {"ticker.btc_jpy.h.error", "host:443 接続失敗（接続拒否）"},
        {"ticker.btc_jpy.h.age", "-"},
        {"ticker.btc_jpy.h.updates", "0"},
        {"eth_jpy.r.state", "-"},
        {"btc_jpy.r.colour", "-"},
        {"nodot", "-"},
        {"server.topics", "2"},
        {"server.live", "1"},
        {"server.uptime", "-"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, board.TextOf(c.item, feeds, kNow)) << c.item;
    std::string version = board.TextOf("server.version", feeds, kNow);
    EXPECT_NE(std::string::npos, version.find('.')) << version;
}

TEST_F(StatusBoardTest, TheTipCountsLiveAndFailingFeeds) {
    std::vector<CStatusBoard::Feed> feeds;
    EXPECT_EQ("VORN", board.Tip("VORN", feeds, kNow));
    feeds = {MakeFeed("a.r", 1, 0), MakeFeed("b.r", 1, 0), MakeFeed("c.h", 0, 0)};
    EXPECT_EQ("VORN live 2/3", board.Tip("VORN", feeds, kNow));
    feeds[1].health.failing = true;
    EXPECT_EQ("VORN live 1/3 failing 1", board.Tip("VORN", feeds, kNow));
}

// A linked cell is sent a value only when its text changes.
TEST_F(StatusBoardTest, OnlyChangedTextsOfLinkedItemsAreReported) {
    std::vector<CStatusBoard::Feed> feeds = {MakeFeed("a.r", 1, 0)};
    board.Link("a.r.state", board.TextOf("a.r.state", feeds, kNow));
    board.Link("A.R.AGE", board.TextOf("A.R.AGE", feeds, kNow));
    EXPECT_TRUE(board.Changes(feeds, kNow).empty());
    EXPECT_TRUE(board.Changes(feeds, kNow + 999).empty()) << "age in whole seconds";
    using Changes = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ((Changes{{"a.r.age", "1"}}), board.Changes(feeds, kNow + 1000));
    EXPECT_EQ((Changes{{"a.r.age", "2"}, {"a.r.state", "stale"}}), board.Changes(feeds, kNow + 2500));
    EXPECT_TRUE(board.Changes(feeds, kNow + 2500).empty());
}

}  // namespace
