// The command line of ZelHartDriver.
#pragma once

#include <span>
#include <string>

namespace zelhart::hartdriver {

struct DaemonOptions {
    std::string runtimeDir; // empty: the default runtime directory
    std::string configDir;  // empty: the default configuration directory
    std::string group = "zelhart"; // who may use the socket; "" or a group the system lacks: the owner
    unsigned socketMode = 0660;    // read and write for the owner, and for the group or everybody
    int readyFd = -1;       // told the socket path once requests are served, then closed
    bool background = false;
    bool verbose = false;
    bool help = false;
};

// Parses the arguments after the program name. Returns an empty text, or what is wrong.
std::string ParseDaemonOptions(std::span<const char* const> args, DaemonOptions* out);

std::string DaemonUsage();

} // namespace zelhart::hartdriver
