#include "zelhart/sim/sim_process.h"

#include <utility>

namespace zelhart::sim {

std::string DefaultSimExecutable() { return ExecutableBesideThisProgram("korvel4810-sim"); }

std::string SimProcess::Start(const SimLaunch& launch) {
    if (launch.runtimeDir.empty()) return "SimLaunch.runtimeDir is required";
    ChildSpec spec;
    spec.executable = launch.executable.empty() ? DefaultSimExecutable() : launch.executable;
    spec.args = launch.args;
    spec.env = {{"ZELHART_RUNTIME_DIR", launch.runtimeDir}};
    spec.captureOutput = true;
    // The simulator writes "COM<n> <path>" once its port is registered.
    std::string line;
    if (auto e = child_.StartAndAwaitReadyLine(std::move(spec), "korvel4810-sim", launch.readyTimeout, &line);
        !e.empty())
        return e;
    auto sp = line.find(' ');
    if (sp == std::string::npos) return "unexpected ready line \"" + line + "\"";
    comName_ = line.substr(0, sp);
    portPath_ = line.substr(sp + 1);
    return {};
}

int SimProcess::Stop(std::chrono::milliseconds timeout) { return child_.Terminate(timeout); }

} // namespace zelhart::sim
