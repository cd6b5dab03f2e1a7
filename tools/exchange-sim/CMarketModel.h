#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

// pair := [a-z0-9_]{1,32}
bool IsValidPair(const std::string& pair);

// Grows a JSON object to size bytes with a trailing "pad" member (other
// documents with trailing blanks), so it stays a valid document.
void PadDocument(std::string& document, size_t size);

// The market the simulator plays: one random walk per currency pair, moved
// one step for every document served so that consecutive documents differ.
// A pinned pair stands still at its pinned price. Shared by all sessions.
class CMarketModel {
public:
    static const size_t kMaxPairs = 256;

    explicit CMarketModel(uint32_t seed);

    // The body for GET {dir}{function}/{pair}: function is one of ticker,
    // depth, trades, last_price. "" for another function or when the table
    // of pairs is full.
    std::string RestDocument(const std::string& function, const std::string& pair);
    // One stream message. compact keeps it under 126 bytes; seq comes first
    // so that every form carries it.
    std::string StreamMessage(const std::string& pair, unsigned long seq, bool compact);

    bool Pin(const std::string& pair, double price);
    void Unpin(const std::string& pair);
    // iso := YYYY-MM-DD "T" hh:mm:ss ["." mmm] ["Z"]; stops the clock there.
    bool FreezeClock(const std::string& iso);
    void RunClock();

private:
    struct PairState {
        std::string name;
        double price = 0;
        double high = 0;
        double low = 0;
        double volume = 0;
        unsigned long tid = 0;
        bool pinned = false;
    };

    PairState* FindPair(const std::string& pair);
    void Step(PairState& state);
    double Amount();
    int64_t NowMicros() const;
    std::string Ticker(const PairState& state, int64_t micros) const;
    std::string DepthLevels(const PairState& state);
    std::string Trades(PairState& state, int count, int64_t micros);

    std::mutex lock;
    std::mt19937 random;
    std::vector<PairState> pairs;
    int64_t frozenMicros = -1;
};
