// The command line of korvel4810-sim.
#pragma once

#include "zelhart/sim/line_engine.h"

#include <span>
#include <string>

namespace zelhart::sim {

// --port free: the simulator takes the first free number of the simulators' range.
inline constexpr int kFreePort = 0;

struct SimOptions {
    int port = kFreePort;    // registered as COM<port>; kFreePort: the first free simulator number
    std::string statePath;   // load and save the configuration here
    std::string logPath;     // one line per frame
    bool logTimes = false;   // each log line begins with the monotonic time; late output is logged
    std::string controlPath; // FIFO for run-time instructions
    int readyFd = -1;        // told "COM<n> <pts path>" once registered
    LineSettings line;
    unsigned busy = 0;
    bool help = false;
};

// Parses the arguments after the program name. Returns an empty text, or what is wrong.
std::string ParseSimOptions(std::span<const char* const> args, SimOptions& out);

std::string SimUsage();

} // namespace zelhart::sim
