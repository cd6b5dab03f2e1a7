#include <windows.h>

#include "CTableView.h"

#include <algorithm>
#include <cstdlib>

#include "CLineView.h"

namespace {

const char kHome[] = "\x1b[H";
const char kClearScreen[] = "\x1b[2J";
const char kClearLine[] = "\x1b[K";
const char kClearBelow[] = "\x1b[J";
const char kHideCursor[] = "\x1b[?25l";
const char kShowCursor[] = "\x1b[?25h";
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
const size_t kMaxWidths[3] = {28, 32, 28};

bool ReadNumber(const std::string& text, double* valueOut) {
    if (text.empty()) return false;
    char* end = nullptr;
    *valueOut = strtod(text.c_str(), &end);
    return *end == '\0';
}

std::string Fit(const std::string& text, size_t width) {
    if (text.size() <= width) return text + std::string(width - text.size(), ' ');
    return text.substr(0, width - 1) + "~";
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
    : out(out), err(err), service(service), updates(0), dirty(true), drawn(false), lastDrawMs(0) {
    for (const WatchLink& link : links) {
        rows.push_back(Row());
        rows.back().link = link;
    }
}

std::string CTableView::Render(DWORD ms) const {
    // Wide enough for the headings, and for "waiting" and "refused" in place of a value.
    size_t widths[3] = {5, 4, 7};
    for (const Row& row : rows) {
        widths[0] = std::max(widths[0], std::min(row.link.topic.size(), kMaxWidths[0]));
        widths[1] = std::max(widths[1], std::min(row.link.item.size(), kMaxWidths[1]));
        widths[2] = std::max(widths[2], std::min(row.value.size(), kMaxWidths[2]));
    }
    std::string screen = kHome;
    screen += std::string(kBold) + "ddewatch" + kReset + "  " + service + "  " + std::to_string(rows.size()) +
              " links  " + std::to_string(updates) + " updates  " + Clock(ms) + kClearLine + "\n" + kClearLine + "\n";
    screen += std::string(kUnderline) + Fit("TOPIC", widths[0]) + "  " + Fit("ITEM", widths[1]) + "  " +
              Fit("VALUE", widths[2]) + "  " + "UPDATES" + "  " + "    AGE" + kReset + kClearLine + "\n";
    for (const Row& row : rows)
        screen += RenderRow(row, ms, widths);
    if (!messages.empty()) screen += std::string(kClearLine) + "\n";
    for (const std::string& message : messages)
        screen += std::string(kRed) + message + kReset + kClearLine + "\n";
    return screen + kClearBelow;
}

std::string CTableView::RenderRow(const Row& row, DWORD ms, const size_t widths[3]) const {
    std::string value;
    if (row.state == kRefused)
        value = kRed + Fit("refused", widths[2]) + kReset;
    else if (row.updates == 0)
        value = kDim + Fit(row.state == kEnded ? "ended" : "waiting", widths[2]) + kReset;
    else if (ms - row.lastMs < kHighlightMs)
        value = (row.trend > 0 ? kGreen : row.trend < 0 ? kRed : kYellow) + Fit(row.value, widths[2]) + kReset;
    else
        value = Fit(row.value, widths[2]);
    char updates[16];
    snprintf(updates, sizeof(updates), "%7ld", row.updates);
    std::string age = row.updates ? Age(ms - row.lastMs) : "-";
    return Fit(row.link.topic, widths[0]) + "  " + Fit(row.link.item, widths[1]) + "  " + value + "  " + updates +
           "  " + kDim + std::string(age.size() < 7 ? 7 - age.size() : 0, ' ') + age + kReset + kClearLine + "\n";
}

void CTableView::OnNoConversation(const std::string& serviceName, const std::string& topic, UINT error) {
    char text[128];
    snprintf(text, sizeof(text), " (DDEML error 0x%04X)", error);
    messages.push_back("service " + serviceName + " did not accept a conversation on topic " + topic + text);
    for (Row& row : rows) {
        if (row.link.topic == topic) row.state = kRefused;
    }
    dirty = true;
}

void CTableView::OnLinked(size_t link, bool accepted, UINT error) {
    rows[link].state = accepted ? kLinked : kRefused;
    if (!accepted) {
        char text[64];
        snprintf(text, sizeof(text), " (DDEML error 0x%04X)", error);
        messages.push_back("link refused: " + rows[link].link.topic + "!" + rows[link].link.item + text);
    }
    dirty = true;
}

void CTableView::OnUpdate(size_t link, DWORD ms, const std::string& data) {
    Row& row = rows[link];
    std::string value = CLineView::FormatValue(data, false);
    double before = 0, after = 0;
    bool numbers = row.updates > 0 && ReadNumber(row.value, &before) && ReadNumber(value, &after);
    row.trend = numbers ? (after > before) - (after < before) : 0;
    row.value = value;
    row.lastMs = ms;
    ++row.updates;
    ++updates;
    dirty = true;
}

void CTableView::OnNoData(size_t link, UINT) {
    messages.push_back("no data for " + rows[link].link.topic + "!" + rows[link].link.item);
    dirty = true;
}

void CTableView::OnServerEnded(const std::string& topic) {
    messages.push_back("the server ended the conversation on topic " + topic);
    for (Row& row : rows) {
        if (row.link.topic == topic) row.state = kEnded;
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
    fflush(out);
    for (const std::string& message : messages)
        fprintf(err, "ddewatch: %s\n", message.c_str());
}

void CTableView::Draw(DWORD ms) {
    if (!drawn) {
        fputs(kHideCursor, out);
        fputs(kClearScreen, out);
    }
    std::string screen = Render(ms);
    fwrite(screen.data(), 1, screen.size(), out);
    fflush(out);
    drawn = true;
    dirty = false;
    lastDrawMs = ms;
}
