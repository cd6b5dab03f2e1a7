#include "CSimControl.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SimLog.h"

// A control file is a handful of lines; anything bigger is a mistake.
static const off_t kMaxControlFile = 65536;

CSimControl::CSimControl(const SimOptions& options, CMarketModel& model) : options(options), model(model) {
    for (const auto& pin : options.pins)
        model.Pin(pin.first, pin.second);
    ApplyClock(options.freezeClock);
}

void CSimControl::ApplyClock(const std::string& iso) {
    if (iso.empty()) {
        model.RunClock();
    } else if (!model.FreezeClock(iso)) {
        SimLog("control: bad clock \"%s\" ignored", iso.c_str());
    }
}

CFaultSet CSimControl::FaultsFor(SessionKind kind) {
    Refresh();
    std::lock_guard<std::mutex> guard(lock);
    if (kind == kRestSession) return file.hasRest ? file.rest : options.restFaults;
    return file.hasStream ? file.stream : options.streamFaults;
}

static bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void CSimControl::Refresh() {
    if (options.controlFile.empty()) return;
    std::lock_guard<std::mutex> guard(lock);
    struct stat now = {};
    const bool exists = stat(options.controlFile.c_str(), &now) == 0;
    if (seen && exists && SameFile(now, lastStat)) return;
    if (!exists && !seen) return;
    std::string text;
    if (exists) {
        if (now.st_size > kMaxControlFile) {
            SimLog("control: %s is larger than %ld bytes, ignored", options.controlFile.c_str(),
                   static_cast<long>(kMaxControlFile));
            return;
        }
        std::ifstream in(options.controlFile, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text = content.str();
    }
    lastStat = now;
    seen = exists;
    if (text == lastText) return;
    FileState next;
    std::string error;
    if (!ParseFile(text, next, error)) {
        // Half-written or wrong: keep the settings in force, say why.
        SimLog("control: %s kept the previous settings: %s", options.controlFile.c_str(), error.c_str());
        return;
    }
    lastText = text;
    Apply(next);
    SimLog("control: rest %s, stream %s, %zu pins", next.hasRest ? next.rest.ToString().c_str() : "(command line)",
           next.hasStream ? next.stream.ToString().c_str() : "(command line)", next.pins.size());
}

static bool ParseBurst(const std::string& value, unsigned long& countOut) {
    char* end = nullptr;
    const unsigned long count = strtoul(value.c_str(), &end, 10);
    if (value.empty() || *end || count < 1 || count > 10000) return false;
    countOut = count;
    return true;
}

unsigned long CSimControl::BurstGeneration() {
    std::lock_guard<std::mutex> guard(lock);
    return burstGeneration;
}

unsigned long CSimControl::TakeBurst(unsigned long& seenOut) {
    Refresh();
    std::lock_guard<std::mutex> guard(lock);
    if (seenOut == burstGeneration || file.burst == 0) return 1;
    seenOut = burstGeneration;
    return file.burst;
}

bool CSimControl::ParseFile(const std::string& text, FileState& stateOut, std::string& errorOut) const {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream words(line.substr(start));
        std::string keyword;
        std::string value;
        std::string extra;
        words >> keyword >> value >> extra;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (value.empty() || !extra.empty()) {
            errorOut = where + "expected a keyword and one value";
            return false;
        }
        std::string why;
        std::pair<std::string, double> pin;
        if (keyword == "rest" && ParseFaultList(value, kRestSession, stateOut.rest, why)) {
            stateOut.hasRest = true;
        } else if (keyword == "stream" && ParseFaultList(value, kStreamSession, stateOut.stream, why)) {
            stateOut.hasStream = true;
        } else if (keyword == "pin" && ParsePin(value, pin)) {
            stateOut.pins.push_back(pin);
        } else if (keyword == "burst" && ParseBurst(value, stateOut.burst)) {
        } else if (keyword == "freeze-clock") {
            stateOut.freezeClock = value;
        } else {
            errorOut = where + (why.empty() ? "cannot read \"" + line.substr(start) + "\"" : why);
            return false;
        }
    }
    return true;
}

void CSimControl::Apply(const FileState& next) {
    // Pins the file dropped walk again, unless the command line holds them.
    for (const auto& old : file.pins) {
        bool kept = false;
        for (const auto& pin : next.pins)
            kept = kept || pin.first == old.first;
        if (kept) continue;
        model.Unpin(old.first);
        for (const auto& pin : options.pins) {
            if (pin.first == old.first) model.Pin(pin.first, pin.second);
        }
    }
    for (const auto& pin : next.pins)
        model.Pin(pin.first, pin.second);
    if (next.freezeClock != file.freezeClock)
        ApplyClock(next.freezeClock.empty() ? options.freezeClock : next.freezeClock);
    if (next.burst > 0) burstGeneration++;
    file = next;
}
