#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CWatchView.h"
#include "WatchOptions.h"

// A live table, redrawn in place with ANSI escapes: one row per link with its
// value, how often it came and how long ago. A value that rose shows green, one
// that fell red, any other change yellow, for a moment after it arrives.
class CTableView : public CWatchView {
public:
    CTableView(FILE* out, FILE* err, const std::string& service, const std::vector<WatchLink>& links);

    // The screen at `ms` since the start, escapes included.
    std::string Render(DWORD ms) const;

    void OnNoConversation(const std::string& service, const std::string& topic, UINT error) override;
    void OnLinked(size_t link, bool accepted, UINT error) override;
    void OnUpdate(size_t link, DWORD ms, const std::string& data) override;
    void OnNoData(size_t link, UINT error) override;
    void OnServerEnded(const std::string& topic) override;
    void OnIdle(DWORD ms) override;
    void OnEnd(DWORD ms) override;

private:
    enum State { kWaiting, kLinked, kRefused, kEnded };
    struct Row {
        WatchLink link;
        State state = kWaiting;
        std::string value;
        long updates = 0;
        DWORD lastMs = 0;
        int trend = 0;  // +1 rose, -1 fell, 0 other change
    };

    std::string RenderRow(const Row& row, DWORD ms, const size_t widths[3]) const;
    void Draw(DWORD ms);

    FILE* out;
    FILE* err;
    std::string service;
    std::vector<Row> rows;
    std::vector<std::string> messages;  // shown under the table, then on stderr at the end
    long updates;
    bool dirty;
    bool drawn;
    DWORD lastDrawMs;
};
