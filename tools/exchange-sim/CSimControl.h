#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "CMarketModel.h"
#include "FaultModes.h"
#include "SimOptions.h"

// The settings a test may change while the simulator runs: the fault modes
// of the next connections, pinned prices and the frozen clock. They start
// from the command line; the control file, when there is one, overrides them
// for as long as it holds a line for them.
class CSimControl {
public:
    CSimControl(const SimOptions& options, CMarketModel& model);

    // The faults a connection just accepted on that listener plays out.
    CFaultSet FaultsFor(SessionKind kind);
    // Reads the control file again if it changed, and applies its pins and
    // clock to the market. Cheap when nothing changed: one stat().
    void Refresh();
    // Messages the next write of a stream connection carries at once: the
    // count of a `burst N` line newer than the one the connection last took
    // (its generation in seenOut), else 1.
    unsigned long TakeBurst(unsigned long& seenOut);
    unsigned long BurstGeneration();

private:
    struct FileState {
        bool hasRest = false;
        bool hasStream = false;
        CFaultSet rest;
        CFaultSet stream;
        std::vector<std::pair<std::string, double>> pins;
        std::string freezeClock;
        unsigned long burst = 0;
    };

    bool ParseFile(const std::string& text, FileState& stateOut, std::string& errorOut) const;
    void Apply(const FileState& next);
    void ApplyClock(const std::string& iso);

    const SimOptions& options;
    CMarketModel& model;
    std::mutex lock;
    struct stat lastStat = {};
    bool seen = false;
    std::string lastText;
    FileState file;
    // Counts the control texts that asked for a burst.
    unsigned long burstGeneration = 0;
};
