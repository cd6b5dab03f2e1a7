#include <windows.h>

#include "CTableView.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

const char kHome[] = "\x1b[H";
const char kClearScreen[] = "\x1b[2J";
const char kClearLine[] = "\x1b[K";
const char kClearBelow[] = "\x1b[J";
const char kHideCursor[] = "\x1b[?25l";
const char kShowCursor[] = "\x1b[?25h";
const char kNoWrap[] = "\x1b[?7l";
const char kWrap[] = "\x1b[?7h";
const char kBold[] = "\x1b[1m";
const char kDim[] = "\x1b[2m";
const char kUnderline[] = "\x1b[4m";
const char kRed[] = "\x1b[31m";
const char kGreen[] = "\x1b[32m";
const char kYellow[] = "\x1b[33m";
const char kReset[] = "\x1b[0m";

const DWORD kHighlightMs = 1500;
const DWORD kRedrawMs = 100;  // at most ten frames a second
const DWORD kAgeRedrawMs = 500;

struct Column {
    const char* heading;
    size_t width;  // 0: as wide as the longest TOPIC!ITEM
    bool alignRight;
};
// Left to right, as Cells() fills them. A column from another source (such
// as the feed's own state and age, once the server reports them) is one more
// row here and one more cell there.
const Column kColumns[] = {
    {"TOPIC!ITEM", 0, false}, {"VALUE", 24, false},  // a time stamp "2018/3/18  21:34:56.789" fits
    {"UPDATES", 7, true},     {"SEEN", 7, true},    {"STATE", 10, false}, {"AGE", 5, true},
};

struct StateStyle {
    const char* state;
    const char* style;
};

// clang-format off
const StateStyle kStateStyles[] = {
    {"live",   kGreen},
    {"stale",  kYellow},
    {"failed", kRed},
};
// clang-format on

const char* StyleOfState(const std::string& state) {
    for (const StateStyle& entry : kStateStyles) {
        if (state == entry.state) return entry.style;
    }
    return kDim;
}
const size_t kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

bool ReadNumber(const std::string& text, double* valueOut) {
    if (text.empty()) return false;
    char* end = nullptr;
    *valueOut = strtod(text.c_str(), &end);
    return *end == '\0';
}

// Values are the server's ANSI code page, Shift_JIS: a lead byte and the
// byte after it are one character, two columns wide.
bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// The text up to its NUL on one line: a control character (CR and LF among
// them, or an escape that would steer the terminal) is shown as a blank, and
// blanks at the end are dropped.
std::string CellText(const std::string& data) {
    std::string text;
    for (char c : data) {
        if (c == '\0') break;
        bool control = (unsigned char)c < 0x20 || c == 0x7F;
        text += control ? ' ' : c;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// Pads `text` to `width` columns, or cuts it to width - 1 and marks the cut
// with "~", never between the two bytes of a character.
std::string Fit(const std::string& text, size_t width, bool alignRight) {
    std::string fitted = text;
    if (text.size() > width) {
        size_t keep = 0;
        while (keep < text.size()) {
            size_t step = IsLeadByte(text[keep]) && keep + 1 < text.size() ? 2 : 1;
            if (keep + step > width - 1) break;
            keep += step;
        }
        fitted = text.substr(0, keep) + "~";
    }
    std::string padding(width > fitted.size() ? width - fitted.size() : 0, ' ');
    return alignRight ? padding + fitted : fitted + padding;
}

std::string Age(DWORD ms) {
    char text[32];
    if (ms < 10000)
        snprintf(text, sizeof(text), "%u.%us", (unsigned)(ms / 1000), (unsigned)(ms % 1000 / 100));
    else if (ms < 60000)
        snprintf(text, sizeof(text), "%us", (unsigned)(ms / 1000));
    else
        snprintf(text, sizeof(text), "%um%02us", (unsigned)(ms / 60000), (unsigned)(ms / 1000 % 60));
    return text;
}

std::string Clock(DWORD ms) {
    char text[32];
    DWORD seconds = ms / 1000;
    snprintf(text, sizeof(text), "%02u:%02u:%02u", (unsigned)(seconds / 3600), (unsigned)(seconds / 60 % 60),
             (unsigned)(seconds % 60));
    return text;
}

}  // namespace

CTableView::CTableView(FILE* out, FILE* err, const std::string& service, const std::vector<WatchLink>& links)
    : out(out),
      err(err),
      service(service),
      nameWidth(strlen(kColumns[0].heading)),
      updates(0),
      dirty(true),
      drawn(false),
      lastDrawMs(0) {
    for (const WatchLink& link : links) {
        rows.push_back(Row());
        rows.back().name = link.topic + "!" + link.item;
        rows.back().topic = link.topic;
        rows.back().status = link.status;
        if (!link.status) nameWidth = std::max(nameWidth, rows.back().name.size());
    }
}

std::string CTableView::Render(DWORD ms) const {
    std::string screen = kHome;
    size_t shown = (size_t)std::count_if(rows.begin(), rows.end(), [](const Row& row) { return !row.status; });
    screen += std::string(kBold) + "ddewatch" + kReset + "  " + service + "  " + std::to_string(shown) + " links  " +
              std::to_string(updates) + " updates  " + Clock(ms) + kClearLine + "\n" + kClearLine + "\n";
    std::vector<Cell> headings;
    for (const Column& column : kColumns)
        headings.push_back({column.heading, kUnderline});
    screen += Line(headings);
    for (const Row& row : rows) {
        if (!row.status) screen += Line(Cells(row, ms));
    }
    if (!messages.empty()) screen += std::string(kClearLine) + "\n";
    for (const std::string& message : messages)
        screen += std::string(kRed) + message + kReset + kClearLine + "\n";
    return screen + kClearBelow;
}

std::vector<CTableView::Cell> CTableView::Cells(const Row& row, DWORD ms) const {
    Cell value = {row.value, ""};
    if (row.state == kRefused)
        value = {"refused", kRed};
    else if (row.updates == 0)
        value = {row.state == kEnded ? "ended" : "waiting", kDim};
    else if (ms - row.lastMs < kHighlightMs)
        value.style = row.trend > 0 ? kGreen : row.trend < 0 ? kRed : kYellow;
    return {
        {row.name, ""},
        value,
        {std::to_string(row.updates), ""},
        {row.updates ? Age(ms - row.lastMs) : "-", kDim},
        {StatusOf(row.topic, "state"), StyleOfState(StatusOf(row.topic, "state"))},
        {StatusOf(row.topic, "age") == "-" ? "-" : StatusOf(row.topic, "age") + "s", kDim},
    };
}

std::string CTableView::StatusOf(const std::string& topic, const char* field) const {
    std::string name = "status!" + topic + "." + field;
    for (const Row& row : rows) {
        if (row.status && row.name == name && row.updates > 0) return row.value;
    }
    return "-";
}

std::string CTableView::Line(const std::vector<Cell>& cells) const {
    std::string line;
    for (size_t i = 0; i < kColumnCount && i < cells.size(); ++i) {
        const Column& column = kColumns[i];
        std::string text = Fit(cells[i].text, column.width ? column.width : nameWidth, column.alignRight);
        if (i > 0) line += "  ";
        line += cells[i].style.empty() ? text : cells[i].style + text + kReset;
    }
    return line + kClearLine + "\n";
}

void CTableView::OnNoConversation(const std::string& serviceName, const std::string& topic, UINT error) {
    char text[128];
    snprintf(text, sizeof(text), " (DDEML error 0x%04X)", error);
    messages.push_back("service " + serviceName + " did not accept a conversation on topic " + topic + text);
    for (Row& row : rows) {
        if (row.topic == topic) row.state = kRefused;
    }
    dirty = true;
}

void CTableView::OnLinked(size_t link, bool accepted, UINT error) {
    rows[link].state = accepted ? kLinked : kRefused;
    // A server without the status topic leaves its columns at "-".
    if (!accepted && !rows[link].status) {
        char text[64];
        snprintf(text, sizeof(text), " (DDEML error 0x%04X)", error);
        messages.push_back("link refused: " + rows[link].name + text);
    }
    dirty = true;
}

void CTableView::OnUpdate(size_t link, DWORD ms, const std::string& data) {
    Row& row = rows[link];
    std::string value = CellText(data);
    double before = 0, after = 0;
    bool numbers = row.updates > 0 && ReadNumber(row.value, &before) && ReadNumber(value, &after);
    row.trend = numbers ? (after > before) - (after < before) : 0;
    row.value = value;
    row.lastMs = ms;
    ++row.updates;
    if (!row.status) ++updates;
    dirty = true;
}

void CTableView::OnNoData(size_t link, UINT) {
    if (rows[link].status) return;
    messages.push_back("no data for " + rows[link].name);
    dirty = true;
}

void CTableView::OnServerEnded(const std::string& topic) {
    messages.push_back("the server ended the conversation on topic " + topic);
    for (Row& row : rows) {
        if (row.topic == topic) row.state = kEnded;
    }
    dirty = true;
}

void CTableView::OnIdle(DWORD ms) {
    if (drawn && ms - lastDrawMs < (dirty ? kRedrawMs : kAgeRedrawMs)) return;
    Draw(ms);
}

void CTableView::OnEnd(DWORD ms) {
    Draw(ms);
    fputs(kShowCursor, out);
    fputs(kWrap, out);
    fflush(out);
    for (const std::string& message : messages)
        fprintf(err, "ddewatch: %s\n", message.c_str());
}

void CTableView::Draw(DWORD ms) {
    if (!drawn) {
        fputs(kHideCursor, out);
        fputs(kNoWrap, out);
        fputs(kClearScreen, out);
    }
    std::string screen = Render(ms);
    fwrite(screen.data(), 1, screen.size(), out);
    fflush(out);
    drawn = true;
    dirty = false;
    lastDrawMs = ms;
}
