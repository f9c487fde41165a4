#include "zelhart/driver/daemon_process.h"

#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zelhart::hartdriver {

std::string DefaultDaemonExecutable() { return sim::ExecutableBesideThisProgram("ZelHartDriver"); }

std::string DaemonProcess::Start(const DaemonLaunch& launch) {
    if (launch.runtimeDir.empty()) return "DaemonLaunch.runtimeDir is required";
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    platform::UniqueFd readEnd(p[0]), writeEnd(p[1]);

    sim::ChildSpec spec;
    spec.executable = launch.executable.empty() ? DefaultDaemonExecutable() : launch.executable;
    spec.args = {"--runtime-dir", launch.runtimeDir, "--config-dir",
                 launch.configDir.empty() ? launch.runtimeDir : launch.configDir};
    spec.args.insert(spec.args.end(), launch.args.begin(), launch.args.end());
    spec.args.insert(spec.args.end(), {"--ready-fd", "3"});
    spec.env = {{"ZELHART_RUNTIME_DIR", launch.runtimeDir}};
    spec.captureOutput = launch.captureOutput;
    spec.passFd = writeEnd.get();
    if (auto e = child_.Start(spec); !e.empty()) return e;
    writeEnd.reset();

    // The daemon writes its socket path and a newline once it serves requests, then closes the pipe.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + launch.readyTimeout;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child_.Terminate();
            return "ZelHartDriver was not ready in time: " + child_.Output();
        }
        pollfd pfd{readEnd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0) continue;
        char buf[512];
        ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            auto status = child_.Wait(std::chrono::milliseconds(5000));
            return "ZelHartDriver ended (status " + std::to_string(status.value_or(-1)) +
                   "): " + child_.Output();
        }
        line.append(buf, size_t(n));
    }
    socketPath_ = line.substr(0, line.find('\n'));
    return {};
}

int DaemonProcess::Stop(std::chrono::milliseconds timeout) {
    return child_.Terminate(timeout);
}

bool DaemonProcess::Signal(int signo) const {
    return child_.pid() > 0 && ::kill(child_.pid(), signo) == 0;
}

} // namespace zelhart::hartdriver
