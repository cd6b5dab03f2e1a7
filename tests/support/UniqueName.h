#pragma once

#include <random>
#include <string>

// stem and six random digits: a name that another run on the machine, or
// another suite under the same Wine server, is unlikely to use at the same
// time. For DDE service names and scratch folders.
inline std::string UniqueName(const std::string& stem) {
    static std::random_device random;
    return stem + std::to_string(random() % 1000000);
}
