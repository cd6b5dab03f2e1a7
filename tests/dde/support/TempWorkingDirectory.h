#pragma once

#include <string>
#include <vector>

// Runs a test in a fresh empty working directory, where the log writer puts
// its "log" folder, and returns to the old one afterwards.
class TempWorkingDirectory {
public:
    TempWorkingDirectory();
    ~TempWorkingDirectory();
    TempWorkingDirectory(const TempWorkingDirectory&) = delete;
    TempWorkingDirectory& operator=(const TempWorkingDirectory&) = delete;

    // The messages of today's log entries, in order, without their time
    // stamps (each still ends with its "\r\n").
    std::vector<std::string> LogMessages() const;

private:
    std::string previous;
    std::string path;
};
