#pragma once

#include <string>
#include <utility>
#include <vector>

#include "FaultModes.h"

// What one run of the simulator was asked to do, from its command line.
struct SimOptions {
    std::string bindAddress = "127.0.0.1";
    int restPort = 443;
    int streamPort = 8888;
    std::string apiDir = "/api/1/";
    unsigned long seed = 1;
    bool seedGiven = false;
    double rate = 1.0;
    bool randomPacing = false;
    std::string makeCertsDir;
    std::string certFile;
    std::string keyFile;
    std::vector<std::string> hosts;
    std::vector<std::pair<std::string, double>> pins;
    std::string freezeClock;
    std::string controlFile;
    CFaultSet restFaults;
    CFaultSet streamFaults;
    bool help = false;
};

// Fills options from argv; false with a message in errorOut on anything it
// does not understand, so a mistyped flag never runs a different test.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& errorOut);

// pin := pair "=" price, price > 0.
bool ParsePin(const std::string& text, std::pair<std::string, double>& pinOut);

// The --help text: every option and every fault mode, one line each.
std::string SimUsage();
