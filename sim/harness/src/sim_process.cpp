#include "zelhart/sim/sim_process.h"

#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zelhart::sim {

std::string DefaultSimExecutable() { return ExecutableBesideThisProgram("korvel4810-sim"); }

std::string SimProcess::Start(const SimLaunch& launch) {
    if (launch.runtimeDir.empty()) return "SimLaunch.runtimeDir is required";
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    platform::UniqueFd readEnd(p[0]), writeEnd(p[1]);

    ChildSpec spec;
    spec.executable = launch.executable.empty() ? DefaultSimExecutable() : launch.executable;
    spec.args = launch.args;
    spec.args.insert(spec.args.end(), {"--ready-fd", "3"});
    spec.env = {{"ZELHART_RUNTIME_DIR", launch.runtimeDir}};
    spec.captureOutput = true;
    spec.passFd = writeEnd.get();
    if (auto e = child_.Start(spec); !e.empty()) return e;
    writeEnd.reset();

    // The simulator writes "COM<n> <path>\n" and closes the descriptor once its port is registered.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + launch.readyTimeout;
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child_.Terminate();
            return "korvel4810-sim was not ready in time: " + child_.Output();
        }
        pollfd pfd{readEnd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            auto status = child_.Wait(std::chrono::milliseconds(5000));
            return "korvel4810-sim ended (status " + std::to_string(status.value_or(-1)) + "): " + child_.Output();
        }
        line.append(buf, size_t(n));
    }
    line.resize(line.find('\n'));
    auto sp = line.find(' ');
    if (sp == std::string::npos) return "unexpected ready line \"" + line + "\"";
    comName_ = line.substr(0, sp);
    portPath_ = line.substr(sp + 1);
    return {};
}

int SimProcess::Stop(std::chrono::milliseconds timeout) { return child_.Terminate(timeout); }

} // namespace zelhart::sim
