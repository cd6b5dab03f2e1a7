#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "LookupItemValue.h"

namespace {

const char kTicker[] = R"({"last":500,"high":510,"vwap":495.5})";
const char kDepth[] = R"({"asks":[[501,0.5],[502,1.2]],"bids":[[499,0.3]]})";
const char kTrades[] = R"([{"price":100,"amount":1},{"price":101,"amount":2}])";
const char kStream[] = R"({"last_price":{"action":"ask","price":100.5},"timestamp":"2020-01-02 03:04:05.678901"})";

const char* const kNotFound = nullptr;

struct LookupCase {
    const char* document;
    const char* item;
    const char* expected;  // kNotFound when the lookup must fail
};

// The forms of item name a user writes in a link, on the documents the
// exchange serves, including the surprising but relied-upon answers.
// clang-format off
const LookupCase kCases[] = {
    {kTicker, "last",               "500"},
    {kTicker, "vwap",               "495.5"},
    {kTicker, "low",                kNotFound},
    {kTicker, "0.last",             kNotFound},   // no "]" anywhere: an index finds no end
    {kDepth,  "asks._.0",           "501,0.5"},
    {kDepth,  "asks._.1",           "502,1.2"},
    {kDepth,  "bids._.0",           "499,0.3"},
    {kDepth,  "asks._.2",           ""},          // still before "]]": runs into the bids member
    {kDepth,  "asks._.3",           kNotFound},
    {kDepth,  "asks",               ""},
    {kDepth,  "asks._",             ""},
    {kDepth,  "asks.0",             ""},
    {kDepth,  "asks.._",            ""},          // the empty middle segment is index 0
    {kTrades, "price",              "100"},
    {kTrades, "price.0",            "100"},
    {kTrades, "price.1",            "101"},
    {kTrades, "amount.1",           "2"},
    {kTrades, "price.2",            kNotFound},
    {kTrades, "\"1\"",             "{price:100,amount:1"},  // quotes in an index are dropped; no key: the first array
    {kStream, "last_price.action",  "ask"},
    {kStream, "last_price.price",   "100.5"},
    {kStream, "timestamp",          "2020-01-02 03:04:05.678901"},
    {kStream, "last_price",         "{action:ask"},
    {kStream, "price",              "100.5"},     // "price" is not found inside "last_price"
    {kTicker, "last.",              "500"},       // a trailing dot adds no segment
    {R"({"a":1,"b":[2]})", "",       "1"},        // empty name: index 0, needs a "]" somewhere
    {kTicker, "",                   kNotFound},
    {R"({"last": 500})",   "last",   " 500"},     // white space is copied as it stands
    {R"({"s":"a,b"})",     "s",      "a"},        // member mode ends at a comma...
    {R"({"s":["a,b"]})",   "s._",    "a,b"},      // ...array mode keeps it
    {R"({"s":"x}y"})",     "s",      "x"},
    {R"({"tag":"last","x":1,"last":7})", "last", "1"},  // a key also matches a string value, first
    {R"({"a":{"x":1},"b":{"y":2}})", "a.y", "2"}, // a later key is searched after the earlier, not within it
    {"", "last", kNotFound},
};
// clang-format on

TEST(LookupItemValueTest, SelectsWhatEachFormOfItemNameNames) {
    for (const LookupCase& c : kCases) {
        char out[256] = "unchanged";
        bool found = LookupItemValue(out, sizeof(out), c.item, c.document);
        if (c.expected == kNotFound) {
            EXPECT_FALSE(found) << c.item << " in " << c.document;
            EXPECT_STREQ("unchanged", out) << "a failed lookup must leave the buffer as it was";
        } else {
            EXPECT_TRUE(found) << c.item << " in " << c.document;
            EXPECT_STREQ(c.expected, out) << c.item << " in " << c.document;
        }
    }
}

TEST(LookupItemValueTest, OnlyTheFirstEightSegmentsCount) {
    const char document[] = R"({"a":{"b":{"c":{"d":{"e":{"f":{"g":{"h":"deep","i":"past"}}}}}}}})";
    char out[256] = {};
    ASSERT_TRUE(LookupItemValue(out, sizeof(out), "a.b.c.d.e.f.g.h.i", document));
    EXPECT_STREQ("deep", out);
}

TEST(LookupItemValueTest, LongValuesAreCutToTheBufferAndToTheScanWindow) {
    std::string digits(300, '7');
    std::string document = R"({"v":)" + digits + "}";
    char small[8] = {};
    ASSERT_TRUE(LookupItemValue(small, sizeof(small), "v", document.c_str()));
    EXPECT_STREQ("7777777", small);

    char big[1024] = {};
    ASSERT_TRUE(LookupItemValue(big, sizeof(big), "v", document.c_str()));
    EXPECT_EQ(256u, strlen(big));
}

// Sanitizers watch these: a document that ends in the middle of a value, or
// a key with nothing after it, must be read no further than its terminator.
TEST(LookupItemValueTest, TruncatedDocumentsAreNeverReadPastTheirEnd) {
    const char* documents[] = {R"({"last")", R"({"last":)", R"({"last":"12)", R"({"asks":[[1,)", R"(["price"]])"};
    const char* items[] = {"last", "asks._.0", "asks._.5", "price.3", "x.0"};
    for (const char* document : documents) {
        std::string heapCopy(document);  // no slack after the terminator
        for (const char* item : items) {
            char out[256] = {};
            LookupItemValue(out, sizeof(out), item, heapCopy.c_str());
            EXPECT_LT(strlen(out), sizeof(out));
        }
    }
    char out[256] = "unchanged";
    EXPECT_FALSE(LookupItemValue(out, sizeof(out), "last", R"({"last")"));
    EXPECT_TRUE(LookupItemValue(out, sizeof(out), "last", R"({"last":"12)"));
    EXPECT_STREQ("12", out);
}

TEST(LookupItemValueTest, HugeIndexesFailInsteadOfOverflowing) {
    char out[256] = "unchanged";
    EXPECT_FALSE(LookupItemValue(out, sizeof(out), "price.99999999999999999999", kTrades));
    EXPECT_FALSE(LookupItemValue(out, sizeof(out), "asks._.4294967296", kDepth));
    EXPECT_STREQ("unchanged", out);
}

}  // namespace
