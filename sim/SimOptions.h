// Command line of the chamber-sim program, kept apart from main() so that
// it can be tested.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/BusSimulator.h"

namespace sim {

struct SimOptions {
    std::string link;             // symlink to the slave path, "" for none
    std::vector<int> chambers;    // as given; {1} when none given
    std::map<int, Faults> faults; // per address
    std::map<int, std::vector<std::pair<int, uint16_t>>> pins;  // word, value
    double speed = 1.0;
    int delayMs = 3;
    uint32_t seed = 1;
    bool verbose = false;
    bool help = false;
};

// Parses the arguments after the program name. False with *error on a bad
// option or value, or a fault for an address that has no chamber.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions* options, std::string* error);

// The --help text: every option with an example.
std::string SimUsage();

// Sets up the bus (chambers, faults, pins, speed, delay, seed) before Start.
void ApplySimOptions(const SimOptions& options, BusSimulator* bus);

}  // namespace sim
