#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CWatchView.h"
#include "WatchOptions.h"

// A live table, redrawn in place with ANSI escapes: one row per link, each
// starting with its TOPIC!ITEM, then its value, how often it came and how long
// ago, and what the server's status topic says of the row's topic: its
// state and the age of its last document. A value that rose shows green, one that fell red, any other change
// yellow, for a moment after it arrives. Columns keep their place whatever the
// values: a value too long for its column is cut, and lines are not wrapped,
// so a narrow terminal cuts them at its edge instead of breaking the rows.
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
        std::string name;  // TOPIC!ITEM as given
        std::string topic;
        bool status = false;  // a status link: no line of its own
        State state = kWaiting;
        std::string value;  // as shown: one line, no control characters
        long updates = 0;
        DWORD lastMs = 0;
        int trend = 0;  // +1 rose, -1 fell, 0 other change
    };
    // One cell of a line: its text and the escape that colours it (empty:
    // plain).
    struct Cell {
        std::string text;
        std::string style;
    };

    std::vector<Cell> Cells(const Row& row, DWORD ms) const;
    // The value of the status link for topic's field, "-" until one came.
    std::string StatusOf(const std::string& topic, const char* field) const;
    std::string Line(const std::vector<Cell>& cells) const;
    void Draw(DWORD ms);

    FILE* out;
    FILE* err;
    std::string service;
    std::vector<Row> rows;
    size_t nameWidth;                   // of the longest TOPIC!ITEM, fixed for the run
    std::vector<std::string> messages;  // shown under the table, then on stderr at the end
    long updates;
    bool dirty;
    bool drawn;
    DWORD lastDrawMs;
};
