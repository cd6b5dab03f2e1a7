#include "CStatusBoard.h"

#include <algorithm>
#include <cstdio>

#ifndef VORNFEED_VERSION
#define VORNFEED_VERSION "0.0.0"
#endif

namespace {

const char kNone[] = "-";
const char kServer[] = "server";

// Topic names reach the core lowered; item names come as the client wrote
// them.
std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

CStatusBoard::CStatusBoard() : pollingIntervalSeconds(5), timeoutMs(5000) {}

void CStatusBoard::SetLimits(int pollingIntervalSeconds, int timeoutMs) {
    this->pollingIntervalSeconds = pollingIntervalSeconds;
    this->timeoutMs = timeoutMs;
}

// A polled feed may miss one poll before it counts as stale; a stream is
// stale once it has been quiet for as long as a read may wait.
const char* CStatusBoard::StateOf(const Feed& feed, DWORD now) const {
    if (feed.paused) return "paused";
    if (feed.health.failing) return "failed";
    if (feed.health.documents == 0) return "connecting";
    DWORD limitMs = (DWORD)timeoutMs + (feed.streaming ? 0 : 2 * 1000 * (DWORD)pollingIntervalSeconds);
    return (DWORD)(now - feed.health.lastDocumentTick) > limitMs ? "stale" : "live";
}

std::string CStatusBoard::TextOf(const std::string& item, const std::vector<Feed>& feeds, DWORD now) const {
    std::string name = Lowered(item);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return kNone;
    std::string topic = name.substr(0, dot);
    std::string field = name.substr(dot + 1);
    if (topic == kServer) {
        if (field == "version") return VORNFEED_VERSION;
        if (field == "topics") return std::to_string(feeds.size());
        if (field == "live") return std::to_string(CountLive(feeds, now));
        return kNone;
    }
    const Feed* feed = Find(feeds, topic);
    if (!feed) return kNone;
    if (field == "state") return StateOf(*feed, now);
    if (field == "updates") return std::to_string(feed->health.documents);
    if (field == "error") return feed->health.error;
    if (field == "age") {
        if (feed->health.documents == 0) return kNone;
        return std::to_string((DWORD)(now - feed->health.lastDocumentTick) / 1000);
    }
    return kNone;
}

std::string CStatusBoard::Tip(const std::string& name, const std::vector<Feed>& feeds, DWORD now) const {
    if (feeds.empty()) return name;
    int failing = (int)std::count_if(feeds.begin(), feeds.end(),
                                     [&](const Feed& feed) { return std::string(StateOf(feed, now)) == "failed"; });
    std::string tip = name + " live " + std::to_string(CountLive(feeds, now)) + "/" + std::to_string(feeds.size());
    if (failing > 0) tip += " failing " + std::to_string(failing);
    return tip;
}

void CStatusBoard::Link(const std::string& item, const std::string& text) {
    linked[Lowered(item)] = text;
}

std::vector<std::pair<std::string, std::string>> CStatusBoard::Changes(const std::vector<Feed>& feeds, DWORD now) {
    std::vector<std::pair<std::string, std::string>> changes;
    for (auto& entry : linked) {
        std::string text = TextOf(entry.first, feeds, now);
        if (text == entry.second) continue;
        entry.second = text;
        changes.emplace_back(entry.first, text);
    }
    return changes;
}

const CStatusBoard::Feed* CStatusBoard::Find(const std::vector<Feed>& feeds, const std::string& topic) const {
    for (const Feed& feed : feeds) {
        if (feed.topic == topic) return &feed;
    }
    return nullptr;
}

int CStatusBoard::CountLive(const std::vector<Feed>& feeds, DWORD now) const {
    return (int)std::count_if(feeds.begin(), feeds.end(),
                              [&](const Feed& feed) { return std::string(StateOf(feed, now)) == "live"; });
}
