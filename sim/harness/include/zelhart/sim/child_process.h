// Starting a program for a test and waiting for it with a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zelhart::sim {

struct ChildSpec {
    std::string executable;
    std::vector<std::string> args;                          // after the program name
    std::vector<std::pair<std::string, std::string>> env;   // set (replacing) in the child's environment
    bool captureOutput = false;                             // standard output and error, kept in memory
    int passFd = -1;                                        // given to the child as descriptor 3
};

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running is killed and reaped.
    ~ChildProcess();

    // Returns an empty text or what failed.
    std::string Start(const ChildSpec& spec);
    // Starts a program that reports readiness on a descriptor: "--ready-fd 3" is added to the
    // arguments, and the first line the program writes there is returned in `line` (without its
    // newline). When it ends first or says nothing within `timeout`, what went wrong, naming it
    // `what` (a program that did not answer in time is terminated).
    std::string StartAndAwaitReadyLine(ChildSpec spec, const std::string& what, std::chrono::milliseconds timeout,
                                       std::string* line);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    // Waits for the exit; the exit status (128 + signal when killed), or nothing at the deadline.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL when it has not ended within the timeout; the exit status.
    int Terminate(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // What the child wrote so far (captureOutput).
    std::string Output() const;

private:
    pid_t pid_ = -1;
    int pidFd_ = -1;
    int outputFd_ = -1;
};

// The program `name` in the directory of the running program (the build puts every executable in one
// directory); `name` alone when that directory cannot be found.
std::string ExecutableBesideThisProgram(const std::string& name);

// Runs a program to its end; the exit status and its output, or nothing at the deadline.
std::optional<std::pair<int, std::string>> RunToExit(ChildSpec spec, std::chrono::milliseconds timeout);

} // namespace zelhart::sim
