#include "zelhart/sim/child_process.h"

#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelhart::sim {
namespace {

int StatusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

} // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int raw;
        ::waitpid(pid_, &raw, 0);
    }
    if (pidFd_ >= 0) ::close(pidFd_);
    if (outputFd_ >= 0) ::close(outputFd_);
}

std::string ChildProcess::Start(const ChildSpec& spec) {
    if (pid_ > 0) return "already running";
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& [k, v] : spec.env) replaced |= entry.rfind(k + "=", 0) == 0;
        if (!replaced) envStrings.push_back(entry);
    }
    for (const auto& [k, v] : spec.env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = spec.args;
    argStrings.insert(argStrings.begin(), spec.executable);
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    // Output goes to a file in memory: the child never blocks on it, however much it writes.
    platform::UniqueFd output;
    if (spec.captureOutput) {
        output.reset(::memfd_create("child-output", MFD_CLOEXEC));
        if (!output) return std::string("memfd_create: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions, output.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, output.get(), 2);
    }
    if (spec.passFd >= 0) posix_spawn_file_actions_adddup2(&actions, spec.passFd, 3);
    pid_t pid;
    int rc = ::posix_spawn(&pid, spec.executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return spec.executable + ": " + std::strerror(rc);
    pid_ = pid;
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    outputFd_ = output.release();
    return {};
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    // The process descriptor becomes readable when the child ends.
    pollfd p{pidFd_, POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw;
        pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return StatusOf(raw);
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return -1;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (pidFd_ >= 0) ::poll(&p, 1, int(left.count()));
        else ::usleep(2000); // kernels without process descriptors: look again shortly
    }
}

int ChildProcess::Terminate(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    if (auto status = Wait(timeout)) return *status;
    ::kill(pid_, SIGKILL);
    return Wait(std::chrono::milliseconds(5000)).value_or(-1);
}

std::string ChildProcess::Output() const {
    std::string out;
    if (outputFd_ < 0) return out;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        ssize_t n = ::pread(outputFd_, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, size_t(n));
        at += n;
    }
    return out;
}

std::string ChildProcess::StartAndAwaitReadyLine(ChildSpec spec, const std::string& what,
                                                 std::chrono::milliseconds timeout, std::string* line) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    platform::UniqueFd readEnd(p[0]), writeEnd(p[1]);
    spec.args.insert(spec.args.end(), {"--ready-fd", "3"});
    spec.passFd = writeEnd.get();
    if (auto e = Start(spec); !e.empty()) return e;
    writeEnd.reset();

    std::string said;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (said.find('\n') == std::string::npos) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            Terminate();
            return what + " was not ready in time: " + Output();
        }
        pollfd pfd{readEnd.get(), POLLIN, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0) continue;
        char buf[512];
        ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            auto status = Wait(std::chrono::milliseconds(5000));
            return what + " ended (status " + std::to_string(status.value_or(-1)) + "): " + Output();
        }
        said.append(buf, size_t(n));
    }
    *line = said.substr(0, said.find('\n'));
    return {};
}

std::string ExecutableBesideThisProgram(const std::string& name) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return name;
    std::string self(buf, size_t(n));
    return self.substr(0, self.rfind('/') + 1) + name;
}

std::optional<std::pair<int, std::string>> RunToExit(ChildSpec spec, std::chrono::milliseconds timeout) {
    spec.captureOutput = true;
    ChildProcess child;
    if (!child.Start(spec).empty()) return std::nullopt;
    auto status = child.Wait(timeout);
    if (!status) return std::nullopt;
    return std::make_pair(*status, child.Output());
}

} // namespace zelhart::sim
