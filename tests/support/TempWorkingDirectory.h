#pragma once

#include <string>
#include <vector>

#include "ScratchFolder.h"

// Runs a test in a fresh empty working directory, where the log writer puts
// its "log" folder, and returns to the old one afterwards.
//
// The writer names the day's folder when it writes (log/YYYYMMDD); a reader
// that worked the name out again from the clock would miss the file after
// midnight, so these look at what is there.
class TempWorkingDirectory {
public:
    TempWorkingDirectory();
    ~TempWorkingDirectory();
    TempWorkingDirectory(const TempWorkingDirectory&) = delete;
    TempWorkingDirectory& operator=(const TempWorkingDirectory&) = delete;

    const std::string& Path() const { return folder.Path(); }

    // The log file written last: the newest day's log/*/vornlog.log; empty
    // when nothing has been logged here.
    std::string LogPath() const;
    // The messages of every log entry written here, oldest day first, each
    // without its time stamp (each still ends with its "\r\n").
    std::vector<std::string> LogMessages() const;

private:
    // The log files, oldest day first.
    std::vector<std::string> LogFiles() const;

    ScratchFolder folder;
    std::string previous;
};
