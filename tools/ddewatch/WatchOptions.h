#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Exit codes of ddewatch; scripts and tests rely on them.
enum WatchExit {
    kExitOk = 0,
    kExitDdeml = 1,      // DDEML could not be started
    kExitUsage = 2,      // bad command line
    kExitNoService = 3,  // no conversation on a topic
    kExitRefused = 4,    // a link refused, or a request answered without data
    kExitServerEnded = 5,
};

struct WatchLink {
    std::string topic;
    std::string item;
    // A link the table adds to the server's status topic for the state and
    // age of a row's topic; it has no row of its own.
    bool status = false;
};

// Adds, for every topic of links, a status link to its state and its age.
void AddStatusLinks(std::vector<WatchLink>* links);

struct WatchOptions {
    std::string service = "VORN";
    std::vector<WatchLink> links;
    double seconds = -1;  // below 0: until interrupted
    long count = -1;      // below 0: no limit
    double connectTimeout = 0;
    UINT format = 1;  // CF_TEXT
    bool request = false;
    bool table = false;
    bool hex = false;
    bool clock = false;  // lines start with the wall clock in microseconds
    bool help = false;
};

// False with a one-line reason when the command line is wrong.
bool ParseWatchOptions(int argc, const char* const* argv, WatchOptions* optionsOut, std::string* errorOut);

extern const char kWatchUsage[];
