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
    // Chamber N silent from FROM to TO seconds after the start (TO < 0: for
    // good), then answering again.
    struct Outage {
        double from = 0;
        double to = -1;
    };
    std::map<int, Outage> outages;
    // Exit with status 3 at the first request sent while a reply is due.
    bool strict = false;
    // TCP ports (0: none) where the line is served as a serial device server
    // does in raw mode (--tcp) and as a Modbus TCP gateway does (--modbus-tcp).
    int tcpPort = 0;
    int modbusTcpPort = 0;
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
// Puts every chamber with an outage silent or back as it should be
// elapsedSeconds after the start; returns when the next change falls due
// (seconds after the start), -1 when none is left.
double ApplyOutages(const SimOptions& options, BusSimulator* bus, double elapsedSeconds);

}  // namespace sim
