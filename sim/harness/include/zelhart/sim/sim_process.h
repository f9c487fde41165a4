// korvel4810-sim for tests: started on a private runtime directory, ready when this returns, stopped
// (and its COM link removed) when the object goes.
//
//   zelhart::sim::SimProcess sim;
//   ASSERT_EQ(sim.Start(dir, {"--port", "3", "--no-pace"}), "");
//   // COM3 is now in <dir>/ports and answers at sim.portPath()
#pragma once

#include "zelhart/sim/child_process.h"

#include <chrono>
#include <string>
#include <vector>

namespace zelhart::sim {

struct SimLaunch {
    std::string runtimeDir;         // ZELHART_RUNTIME_DIR of the simulator; required
    std::vector<std::string> args;  // options (see korvel4810-sim --help); --ready-fd is added
    std::string executable;         // default: DefaultSimExecutable()
    std::chrono::milliseconds readyTimeout{10000};
};

// korvel4810-sim beside the running program (executables share one directory in the build).
std::string DefaultSimExecutable();

class SimProcess {
public:
    // Starts the simulator and waits until it has registered its port. Returns an empty text or
    // what went wrong (including the simulator's own message when it exited).
    std::string Start(const SimLaunch& launch);
    std::string Start(const std::string& runtimeDir, std::vector<std::string> args) {
        SimLaunch launch;
        launch.runtimeDir = runtimeDir;
        launch.args = std::move(args);
        return Start(launch);
    }
    // SIGTERM and wait; the exit status (0 for a clean stop).
    int Stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    const std::string& comName() const { return comName_; }   // "COM3"
    const std::string& portPath() const { return portPath_; } // "/dev/pts/4"
    ChildProcess& process() { return child_; }

private:
    ChildProcess child_;
    std::string comName_;
    std::string portPath_;
};

} // namespace zelhart::sim
