#include "zelhart/driver/daemon_process.h"

#include <csignal>
#include <fstream>
#include <utility>

namespace zelhart::hartdriver {

bool WriteServiceKey(const std::string& configDir, const std::string& values) {
    std::ofstream f(configDir + "/ZelHartDriver.reg");
    f << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZelHartDriver]\n"
      << values;
    f.close();
    return !f.fail();
}

std::string DefaultDaemonExecutable() { return sim::ExecutableBesideThisProgram("ZelHartDriver"); }

std::string DaemonProcess::Start(const DaemonLaunch& launch) {
    if (launch.runtimeDir.empty()) return "DaemonLaunch.runtimeDir is required";
    sim::ChildSpec spec;
    spec.executable = launch.executable.empty() ? DefaultDaemonExecutable() : launch.executable;
    spec.args = {"--runtime-dir", launch.runtimeDir, "--config-dir",
                 launch.configDir.empty() ? launch.runtimeDir : launch.configDir};
    spec.args.insert(spec.args.end(), launch.args.begin(), launch.args.end());
    spec.env = {{"ZELHART_RUNTIME_DIR", launch.runtimeDir},
                {"ZELHART_SYSROOT", launch.sysRoot.empty() ? launch.runtimeDir : launch.sysRoot}};
    spec.captureOutput = launch.captureOutput;
    // The daemon writes its socket path once it serves requests.
    return child_.StartAndAwaitReadyLine(std::move(spec), "ZelHartDriver", launch.readyTimeout, &socketPath_);
}

int DaemonProcess::Stop(std::chrono::milliseconds timeout) {
    return child_.Terminate(timeout);
}

bool DaemonProcess::Signal(int signo) const {
    return child_.pid() > 0 && ::kill(child_.pid(), signo) == 0;
}

} // namespace zelhart::hartdriver
