// ZelHartDriver for tests and benchmarks (of any component): started on private directories, ready
// when Start returns (its socket serves requests), stopped with SIGTERM when the object goes.
//
//   zelhart::hartdriver::DaemonProcess daemon;
//   ASSERT_EQ(daemon.Start({.runtimeDir = dir}), "");
//   // clients with ZELHART_RUNTIME_DIR=dir reach it now
#pragma once

#include "zelhart/sim/child_process.h"

#include <chrono>
#include <string>
#include <vector>

namespace zelhart::hartdriver {

struct DaemonLaunch {
    std::string runtimeDir;        // --runtime-dir; required
    std::string configDir;         // --config-dir; empty: the runtime directory
    // $ZELHART_SYSROOT, where the daemon finds its device nodes; empty: the runtime directory, which
    // holds no device database, so the daemon serves its own root node whatever the machine has installed.
    std::string sysRoot;
    std::vector<std::string> args; // more options; --ready-fd is added
    std::string executable;        // default: DefaultDaemonExecutable()
    bool captureOutput = true;     // standard output and error kept for Output()
    std::chrono::milliseconds readyTimeout{10000};
};

// Writes <configDir>/ZelHartDriver.reg, the driver's service key, with `values` as its value lines
// (for example "\"QUIETTIME\"=dword:00000002\n"); true when the file was written.
bool WriteServiceKey(const std::string& configDir, const std::string& values);

// ZelHartDriver beside the running program (executables share one directory in the build).
std::string DefaultDaemonExecutable();

class DaemonProcess {
  public:
    // Starts the daemon and waits until it serves its socket. Returns an empty text or what went wrong
    // (with the daemon's own output when it exited).
    std::string Start(const DaemonLaunch& launch);
    // SIGTERM and wait; the exit status (0 for a clean stop).
    int Stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Sends a signal (SIGUSR1 suspends, SIGUSR2 resumes).
    bool Signal(int signo) const;

    const std::string& socketPath() const { return socketPath_; }
    std::string Output() const { return child_.Output(); }
    sim::ChildProcess& process() { return child_; }

  private:
    sim::ChildProcess child_;
    std::string socketPath_;
};

} // namespace zelhart::hartdriver
