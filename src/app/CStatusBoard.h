#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "CThread.h"

// What the status topic and the tray tip tell: for each served topic
// whether its feed is live, and the server's totals. The texts are made
// from copies of the workers' health, so this runs on the user-interface
// thread alone.
//
// Items are "TOPIC.state", "TOPIC.age", "TOPIC.updates", "TOPIC.error" and
// "server.version", "server.topics", "server.live". An item that names no
// served topic or no such field shows "-".
class CStatusBoard {
public:
    // One served topic as the workers' tables hold it.
    struct Feed {
        std::string topic;
        bool streaming;
        bool paused;
        CThread::Health health;
    };

    CStatusBoard();
    // The limits of a live feed, from the configuration.
    void SetLimits(int pollingIntervalSeconds, int timeoutMs);

    // "connecting", "live", "stale", "paused" or "failed".
    const char* StateOf(const Feed& feed, DWORD now) const;
    // The text of item at now.
    std::string TextOf(const std::string& item, const std::vector<Feed>& feeds, DWORD now) const;
    // "NAME live N/M", with " failing K" when K feeds fail; the name alone
    // while nothing is served.
    std::string Tip(const std::string& name, const std::vector<Feed>& feeds, DWORD now) const;

    // Remembers a linked item, with the text it was given.
    void Link(const std::string& item, const std::string& text);
    // The linked items whose text differs from the one last given, with
    // their new texts, which are remembered.
    std::vector<std::pair<std::string, std::string>> Changes(const std::vector<Feed>& feeds, DWORD now);

private:
    const Feed* Find(const std::vector<Feed>& feeds, const std::string& topic) const;
    int CountLive(const std::vector<Feed>& feeds, DWORD now) const;

    int pollingIntervalSeconds;
    int timeoutMs;
    std::map<std::string, std::string> linked;  // lowered item name -> last text
};
