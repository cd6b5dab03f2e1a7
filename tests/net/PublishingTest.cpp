#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CThread.h"
#include "Publishing.h"
#include "FillQueue.h"
#include "RecordingWindow.h"

namespace {

const int kJapanTime = 540;  // minutes east of UTC, the default adjustment

std::string Shown(const char* value, int timeAdjustMin, const char* item = "timestamp") {
    std::string document = std::string("{\"currency_pair\":\"btc_jpy\",\"") + item + "\":\"" + value + "\",\"last\":1}";
    char out[256];
    MakeItemValue(out, sizeof(out), item, document.c_str(), timeAdjustMin);
    return out;
}

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millisecond) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = millisecond;
    return time;
}

std::string Format(const SYSTEMTIME& time) {
    char out[64];
    FormatDateTime(out, sizeof(out), time);
    return out;
}

void SetZone(const char* zone) {
#ifdef _WIN32
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

}  // namespace

// Timestamps as the exchange writes them, and what a cell shows.
TEST(MakeItemValue, ShiftsTimestampsAndLeavesOtherValuesAlone) {
    struct Case {
        const char* value;
        int adjust;
        const char* shown;
        const char* why;
    };
    const Case cases[] = {
        {"2018-03-18T12:34:56.789", kJapanTime, "2018/3/18  21:34:56.789", "nine hours later, same day"},
        {"2018-12-31T20:00:00.000", kJapanTime, "2019/1/1  5:0:0.0", "crosses the year, no zero padding"},
        {"2018-03-18T12:34:56.789012", 0, "2018/3/18  12:34:56.789", "microseconds cut to milliseconds"},
        {"2018-03-18T12:34:56.789Z", 0, "2018/3/18  12:34:56.789", "a zone suffix is not read"},
        {"2018-03-18 12:34:56.789", kJapanTime, "2018-03-18 12:34:56.789", "a blank instead of T is no timestamp"},
        {"1521376496", kJapanTime, "1521376496", "a Unix time is a plain number"},
        {"2018-03-01T03:00:00.000", -240, "2018/2/28  23:0:0.0", "a negative adjustment goes back a day"},
        {"2020-02-28T20:00:00.500", kJapanTime, "2020/2/29  5:0:0.500", "leap day"},
        {"2018-03-18T12:34:56.5", 0, "2018/3/18  12:34:56.500", "a short fraction is tenths"},
        {"2018-03-18T12:34:56.", 0, "2018/3/18  12:34:56.0", "no fraction digits at all"},
        {"1969-12-31T23:00:00.000", 0, "1969-12-31T23:00:00.000", "before 1970: shown as it came"},
        {"3000-12-31T20:00:00.000", kJapanTime, "3000-12-31T20:00:00.000", "shifted past 3000: shown as it came"},
        {"2018-13-01T00:00:00.000", 0, "2019/1/1  0:0:0.0", "a month out of range is carried over"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.shown, Shown(c.value, c.adjust)) << c.why;
}

// A missing item shows a dash; a whole HTTP response is read as its body.
TEST(MakeItemValue, ItemOfADocumentOrAResponse) {
    const char response[] =
        "HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\nContent-Length: 63\r\n\r\n"
        "{\"last\":500,\"timestamp\":\"2018-03-18T12:34:56.789\",\"vol\":\"1.5\"}";
    const char* cases[][3] = {
        {"vwap", "{\"last\":500,\"high\":510}", "-"},
        {"asks._.3", "{\"asks\":[[1,2],[3,4]]}", "-"},
        {"timestamp", response, "2018/3/18  21:34:56.789"},
        {"vol", response, "1.5"},
    };
    for (const auto& c : cases) {
        char out[256] = "stale";
        MakeItemValue(out, sizeof(out), c[0], c[1], kJapanTime);
        EXPECT_STREQ(c[2], out) << c[0];
    }
}

TEST(MakeItemValue, Utf8TextReachesTheCellInShiftJis) {
    ASSERT_EQ(932u, GetACP()) << "the cells expect Shift_JIS text";
    EXPECT_EQ("\x93\xfa\x96\x7b\x89\x7e", Shown("\xe6\x97\xa5\xe6\x9c\xac\xe5\x86\x86", 0, "name"));  // 日本円
}

TEST(ParseIsoTime, ReadsFieldsByPosition) {
    SYSTEMTIME time;
    ASSERT_TRUE(ParseIsoTime(&time, "2018-03-18T12:34:56.789"));
    EXPECT_EQ(Format(Time(2018, 3, 18, 12, 34, 56, 789)), Format(time));
    EXPECT_EQ(0, time.wDayOfWeek);

    // Shape only: digits are not checked, each character counts for its code
    // minus '0' ('A' is 17), as a timestamp with letters in it always did.
    ASSERT_TRUE(ParseIsoTime(&time, "2018-0A-18T12:34:56.789"));
    EXPECT_EQ(17, time.wMonth);
}

TEST(ParseIsoTime, RefusesOtherShapesAndLeavesOutputAlone) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {"", "empty"},
        {"2018-03-18", "a date alone"},
        {"2018-03-18T12:34:56", "no fraction separator"},
        {"2018-03-18T12:34:5", "ends before the fraction separator"},
        {"2018/03/18T12:34:56.789", "slashes"},
        {"2018-03-18t12:34:56.789", "lower-case t"},
        {"2018-03-18T12.34:56.789", "dot for colon"},
        {"2018-03-18T12:34:56,789", "comma before the fraction"},
        {"18-03-18T12:34:56.789", "two-digit year"},
    };
    for (const Case& c : cases) {
        SYSTEMTIME time = Time(1, 2, 3, 4, 5, 6, 7);
        EXPECT_FALSE(ParseIsoTime(&time, c.text)) << c.why;
        EXPECT_EQ("1/2/3  4:5:6.7", Format(time)) << c.why;
    }
}

// The shift must not depend on the zone the host is set to: the default
// adjustment turns UTC into Japan time on any computer.
TEST(AddSeconds, SameResultInEveryHostZone) {
    const char* zones[] = {"UTC0", "JST-9", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3"};
    for (const char* zone : zones) {
        SetZone(zone);
        SYSTEMTIME shifted;
        // 2018-03-11 is the day daylight saving starts in New York.
        ASSERT_TRUE(AddSeconds(Time(2018, 3, 11, 6, 30, 0, 1), 540 * 60, &shifted)) << zone;
        EXPECT_EQ("2018/3/11  15:30:0.1", Format(shifted)) << zone;
    }
    SetZone("UTC0");
}

TEST(AddSeconds, RangeOfTheRuntimeCalendar) {
    SYSTEMTIME shifted = Time(9, 9, 9, 9, 9, 9, 9);
    EXPECT_TRUE(AddSeconds(Time(1970, 1, 1, 0, 0, 0, 0), 0, &shifted));
    EXPECT_EQ("1970/1/1  0:0:0.0", Format(shifted));
    EXPECT_TRUE(AddSeconds(Time(3000, 12, 31, 23, 59, 58, 0), 1, &shifted));
    EXPECT_EQ("3000/12/31  23:59:59.0", Format(shifted));

    EXPECT_FALSE(AddSeconds(Time(1970, 1, 1, 0, 0, 0, 0), -1, &shifted));
    EXPECT_FALSE(AddSeconds(Time(3000, 12, 31, 23, 59, 59, 0), 1, &shifted));
    EXPECT_FALSE(AddSeconds(Time(65535, 1, 1, 0, 0, 0, 0), 0, &shifted));
    // An adjustment far beyond any time zone must not overflow.
    EXPECT_FALSE(AddSeconds(Time(2018, 1, 1, 0, 0, 0, 0), (int64_t)2147483647 * 60, &shifted));
    EXPECT_EQ("3000/12/31  23:59:59.0", Format(shifted)) << "a failed shift leaves the output alone";
}

TEST(FormatDateTime, CutToTheBuffer) {
    char out[8];
    FormatDateTime(out, sizeof(out), Time(2018, 12, 31, 23, 59, 59, 999));
    EXPECT_STREQ("2018/12", out);
}

TEST(Utf8ToAnsi, ConvertsInPlace) {
    ASSERT_EQ(932u, GetACP());
    std::string fullOfWide, fullOfWideInAnsi;
    for (int i = 0; i < 85; ++i) {
        fullOfWide += "\xe3\x81\x82";  // あ
        fullOfWideInAnsi += "\x82\xa0";
    }
    struct Case {
        std::string utf8;
        std::string ansi;
        const char* why;
    };
    const Case cases[] = {
        {"495.5", "495.5", "ASCII unchanged"},
        {"", "", "empty"},
        {"\xef\xbd\xb1", "\xb1", "half-width katakana is one byte"},
        {"\xe2\x82\xac", "?", "the euro sign has no Shift_JIS character"},
        {"a\xf0\x9f\x98\x80"
         "b",
         "a??b", "a character beyond the BMP: one per surrogate"},
        // 85 three-byte characters fill 255 bytes; in Shift_JIS they take 170.
        {fullOfWide, fullOfWideInAnsi, "a full buffer of wide characters"},
    };
    for (const Case& c : cases) {
        char text[256];
        ASSERT_LT(c.utf8.size(), sizeof(text)) << c.why;
        memcpy(text, c.utf8.c_str(), c.utf8.size() + 1);
        Utf8ToAnsi(text, sizeof(text));
        EXPECT_EQ(c.ansi, text) << c.why;
    }
}

// A buffer of no bytes holds no NUL: reading it as text would run past it.
TEST(Publishing, NoRoomWritesNothing) {
    char untouched[2] = "#";
    MakeItemValue(untouched, 0, "last", "{\"last\":500}", kJapanTime);
    Utf8ToAnsi(untouched + 1, 0);
    EXPECT_STREQ("#", untouched);
}

TEST(Utf8ToAnsi, BrokenUtf8DoesNotRunPastTheText) {
    char text[256] = "12\xe6\x97";  // a character cut short at the end
    memset(text + 5, 'x', sizeof(text) - 5);
    text[4] = '\0';
    Utf8ToAnsi(text, sizeof(text));
    EXPECT_EQ(0, strncmp(text, "12", 2));
    EXPECT_LT(strlen(text), 8u);
}

std::vector<std::string> ValuesOf(const std::vector<RecordingWindow::Event>& events) {
    std::vector<std::string> values;
    for (const RecordingWindow::Event& event : events)
        values.push_back(event.value);
    return values;
}

// The receiving window stands where the core's window stands.
class PublishDocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        worker.notifyWindow = window.Handle();
        worker.timeAdjustMin = kJapanTime;
        worker.SetTopic("btc_jpy.r");
    }

    RecordingWindow window;
    CThread worker;
};

TEST_F(PublishDocumentTest, OnePostPerItemInListOrder) {
    worker.AddItem("last_price.price");
    worker.AddItem("timestamp");
    worker.AddItem("bids._.0");
    worker.AddItem("volume");
    const char document[] =
        "{\"asks\":[[1,2]],\"bids\":[[499,0.5],[498,1]],\"timestamp\":\"2018-03-18T12:34:56.789\","
        "\"last_price\":{\"action\":\"ask\",\"price\":500}}";
    EXPECT_EQ(4, PublishDocument(worker, document));
    auto values = window.Take();
    ASSERT_EQ(4u, values.size());
    const char* expected[][2] = {{"last_price.price", "500"},
                                 {"timestamp", "2018/3/18  21:34:56.789"},
                                 {"bids._.0", "499,0.5"},
                                 {"volume", "-"}};
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ("btc_jpy.r", values[i].topic);
        EXPECT_EQ(expected[i][0], values[i].item);
        EXPECT_EQ(expected[i][1], values[i].value);
    }
}

TEST_F(PublishDocumentTest, EveryDocumentReachesAWindowThatKeepsUp) {
    worker.AddItem("last");
    for (const char* document : {"{\"last\":1}", "{\"last\":1}", "{\"last\":2}"})
        PublishDocument(worker, document);
    EXPECT_EQ((std::vector<std::string>{"2"}), ValuesOf(window.Take())) << "not taken: only the latest";
    for (const char* document : {"{\"last\":1}", "{\"last\":1}", "{\"last\":2}"}) {
        PublishDocument(worker, document);
        window.Take();
    }
    EXPECT_EQ(2u, worker.mailbox->TakeSkippedCount());
}

// A feed faster than the window gives each cell its latest value once the
// window gets to it, in item order, with one notice per mailbox waiting
// however many documents came: 32 fast workers cannot fill the queue.
TEST_F(PublishDocumentTest, AFloodLeavesOneNoticePerWorkerAndTheLatestValues) {
    const int kWorkers = 32;
    const int kDocuments = 1000;
    std::vector<std::unique_ptr<CThread>> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back(new CThread());
        workers[w]->notifyWindow = window.Handle();
        workers[w]->SetTopic("t" + std::to_string(w) + ".r");
        for (const char* item : {"a", "b", "c"})
            workers[w]->AddItem(item);
    }
    std::vector<std::thread> feeds;
    for (int w = 0; w < kWorkers; ++w) {
        feeds.emplace_back([&, w] {
            for (int d = 1; d <= kDocuments; ++d) {
                std::string n = std::to_string(d);
                PublishDocument(*workers[w], ("{\"a\":" + n + ",\"b\":" + n + ",\"c\":" + n + "}").c_str());
            }
        });
    }
    for (std::thread& feed : feeds)
        feed.join();
    MSG msg;
    int notices = 0;
    while (PeekMessageA(&msg, window.Handle(), WM_APP_ITEM_VALUES, WM_APP_ITEM_VALUES, PM_REMOVE)) {
        ++notices;
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(kWorkers, notices);
    auto values = window.Take();
    ASSERT_EQ(3u * kWorkers, values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(std::string(1, "abc"[i % 3]), values[i].item);
        EXPECT_EQ(std::to_string(kDocuments), values[i].value) << values[i].topic << "!" << values[i].item;
    }
    unsigned long skipped = 0;
    for (auto& w : workers)
        skipped += w->mailbox->TakeSkippedCount();
    EXPECT_EQ(3ul * (kDocuments - 1) * kWorkers, skipped);
}

// When the window's queue is full, as Windows allows 10,000 waiting posts,
// the notice fails but the values wait in the mailbox: nothing is lost or
// leaked, and the owner collects them once the queue has room.
TEST_F(PublishDocumentTest, ValuesWhoseNoticeFailedWaitToBeCollected) {
    worker.AddItem("last");
    size_t filled = FillQueue(window.Handle());
    if (filled > kWindowsPostQuota) GTEST_SKIP() << "this system sets no queue quota (Wine 8 does not)";
    ASSERT_EQ(kWindowsPostQuota, filled);
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_QUOTA, GetLastError());
    for (const char* document : {"{\"last\":1}", "{\"last\":2}"})
        PublishDocument(worker, document);
    EXPECT_TRUE(window.Take().empty()) << "the queue had no room for a notice";
    std::vector<CItemValue> stalled = worker.mailbox->TakeStalled();
    ASSERT_EQ(1u, stalled.size());
    EXPECT_STREQ("2", stalled[0].value);
    EXPECT_TRUE(worker.mailbox->TakeStalled().empty());
}

TEST_F(PublishDocumentTest, NoItemsNoPosts) {
    EXPECT_EQ(0, PublishDocument(worker, "{\"last\":1}"));
    EXPECT_TRUE(window.Take().empty());
}

// With the receiving window gone, PostMessage fails and the records stay
// with the worker; the leak checker of the native tree sees any that is lost.
TEST(PublishDocument, RecordsOfFailedPostsAreReleased) {
    CThread worker;
    {
        RecordingWindow gone;
        worker.notifyWindow = gone.Handle();
    }
    worker.SetTopic("ticker.btc_jpy.h");
    worker.AddItem("last");
    worker.AddItem("high");
    EXPECT_EQ(2, PublishDocument(worker, "{\"last\":1}"));
}
