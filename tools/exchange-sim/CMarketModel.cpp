#include "CMarketModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <sys/time.h>

struct BasePrice {
    const char* pair;
    double price;
};

// Starting prices of the pairs a demo is likely to show; others start at 100.
// clang-format off
static const BasePrice kBasePrices[] = {
    {"btc_jpy",  1000000.0},
    {"eth_jpy",    60000.0},
    {"bch_jpy",    40000.0},
    {"mona_jpy",     200.0},
    {"xem_jpy",       10.0},
    {"eth_btc",        0.06},
};
// clang-format on

static const int kDepthLevels = 5;

bool IsValidPair(const std::string& pair) {
    if (pair.empty() || pair.size() > 32) return false;
    for (char c : pair) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

void PadDocument(std::string& document, size_t size) {
    const std::string member = ",\"pad\":\"\"}";
    if (document.size() + member.size() - 1 > size || document.empty() || document.back() != '}') {
        if (document.size() < size) document.append(size - document.size(), ' ');
        return;
    }
    const size_t fill = size - (document.size() + member.size() - 1);
    document.pop_back();
    document += ",\"pad\":\"" + std::string(fill, 'x') + "\"}";
}

static std::string FormatPrice(double price) {
    char text[64];
    snprintf(text, sizeof text, price >= 1000 ? "%.1f" : price >= 1 ? "%.3f" : "%.8f", price);
    return text;
}

static std::string FormatAmount(double amount) {
    char text[64];
    snprintf(text, sizeof text, "%.4f", amount);
    return text;
}

// "2018-03-18T12:34:56.789Z": the REST documents' form, which the server
// rewrites into local time.
static std::string IsoTime(int64_t micros) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros / 1000 % 1000));
    return text;
}

// "2018-03-18 12:34:56.789012": the stream's form, which the server leaves.
static std::string StreamTime(int64_t micros) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros % 1000000));
    return text;
}

CMarketModel::CMarketModel(uint32_t seed) : random(seed) {}

CMarketModel::PairState* CMarketModel::FindPair(const std::string& pair) {
    for (PairState& state : pairs) {
        if (state.name == pair) return &state;
    }
    if (pairs.size() >= kMaxPairs) return nullptr;
    PairState state;
    state.name = pair;
    state.price = 100.0;
    for (const BasePrice& base : kBasePrices) {
        if (pair == base.pair) state.price = base.price;
    }
    state.high = state.low = state.price;
    state.tid = 100000 + random() % 900000;
    pairs.push_back(state);
    return &pairs.back();
}

void CMarketModel::Step(PairState& state) {
    if (state.pinned) return;
    std::normal_distribution<double> move(0.0, 0.0005);
    const double before = state.price;
    state.price *= std::exp(move(random));
    // A step too small to show in the formatted price would serve the same
    // value twice; nudge it so every document moves.
    if (FormatPrice(state.price) == FormatPrice(before)) state.price = before * (random() % 2 ? 1.0002 : 0.9998);
    state.high = std::max(state.high, state.price);
    state.low = std::min(state.low, state.price);
    state.volume += Amount();
}

double CMarketModel::Amount() {
    return 0.001 + (random() % 20000) / 10000.0;
}

int64_t CMarketModel::NowMicros() const {
    if (frozenMicros >= 0) return frozenMicros;
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

std::string CMarketModel::Ticker(const PairState& state, int64_t micros) const {
    const double spread = state.price * 0.0002;
    return "{\"last\":" + FormatPrice(state.price) + ",\"high\":" + FormatPrice(state.high) +
           ",\"low\":" + FormatPrice(state.low) + ",\"vwap\":" + FormatPrice((state.high + state.low) / 2) +
           ",\"volume\":" + FormatAmount(state.volume) + ",\"bid\":" + FormatPrice(state.price - spread) +
           ",\"ask\":" + FormatPrice(state.price + spread) + ",\"timestamp\":\"" + IsoTime(micros) + "\"}";
}

std::string CMarketModel::DepthLevels(const PairState& state) {
    std::string asks;
    std::string bids;
    for (int i = 1; i <= kDepthLevels; i++) {
        const char* comma = i > 1 ? "," : "";
        asks += comma + ("[" + FormatPrice(state.price * (1 + 0.0003 * i)) + "," + FormatAmount(Amount()) + "]");
        bids += comma + ("[" + FormatPrice(state.price * (1 - 0.0003 * i)) + "," + FormatAmount(Amount()) + "]");
    }
    return "\"asks\":[" + asks + "],\"bids\":[" + bids + "]";
}

std::string CMarketModel::Trades(PairState& state, int count, int64_t micros) {
    std::string trades;
    for (int i = 0; i < count; i++) {
        trades += (i ? ",{" : "{") + ("\"currency_pair\":\"" + state.name + "\",\"trade_type\":\"") +
                  (random() % 2 ? "ask" : "bid") + "\",\"price\":" + FormatPrice(state.price) +
                  ",\"tid\":" + std::to_string(state.tid - i) + ",\"amount\":" + FormatAmount(Amount()) +
                  ",\"date\":" + std::to_string(micros / 1000000 - i) + "}";
    }
    return "[" + trades + "]";
}

std::string CMarketModel::RestDocument(const std::string& function, const std::string& pair) {
    std::lock_guard<std::mutex> guard(lock);
    PairState* state = FindPair(pair);
    if (!state) return std::string();
    Step(*state);
    state->tid++;
    const int64_t micros = NowMicros();
    if (function == "ticker") return Ticker(*state, micros);
    if (function == "last_price")
        return "{\"last_price\":" + FormatPrice(state->price) + ",\"timestamp\":\"" + IsoTime(micros) + "\"}";
    if (function == "depth") return "{" + DepthLevels(*state) + ",\"timestamp\":\"" + IsoTime(micros) + "\"}";
    if (function == "trades") return Trades(*state, 3, micros);
    return std::string();
}

std::string CMarketModel::StreamMessage(const std::string& pair, unsigned long seq, bool compact) {
    std::lock_guard<std::mutex> guard(lock);
    PairState* state = FindPair(pair);
    if (!state) return std::string();
    Step(*state);
    state->tid++;
    const std::string head = "{\"seq\":" + std::to_string(seq) + ",";
    const std::string lastPrice = "\"last_price\":{\"action\":\"" + std::string(random() % 2 ? "ask" : "bid") +
                                  "\",\"price\":" + FormatPrice(state->price) + "}";
    const std::string tail = "\"currency_pair\":\"" + pair + "\"}";
    if (compact) return head + lastPrice + "," + tail;
    const int64_t micros = NowMicros();
    return head + DepthLevels(*state) + ",\"trades\":" + Trades(*state, 1, micros) + ",\"timestamp\":\"" +
           StreamTime(micros) + "\"," + lastPrice + "," + tail;
}

bool CMarketModel::Pin(const std::string& pair, double price) {
    std::lock_guard<std::mutex> guard(lock);
    PairState* state = FindPair(pair);
    if (!state || !(price > 0)) return false;
    state->price = price;
    state->high = std::max(state->high, price);
    state->low = std::min(state->low, price);
    state->pinned = true;
    return true;
}

void CMarketModel::Unpin(const std::string& pair) {
    std::lock_guard<std::mutex> guard(lock);
    PairState* state = FindPair(pair);
    if (state) state->pinned = false;
}

bool CMarketModel::FreezeClock(const std::string& iso) {
    int year, month, day, hour, minute, second, millis = 0;
    const int fields =
        sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &year, &month, &day, &hour, &minute, &second, &millis);
    if (fields < 6 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    struct tm utc = {};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    std::lock_guard<std::mutex> guard(lock);
    frozenMicros = static_cast<int64_t>(timegm(&utc)) * 1000000 + millis * 1000;
    return true;
}

void CMarketModel::RunClock() {
    std::lock_guard<std::mutex> guard(lock);
    frozenMicros = -1;
}
