// A helper program run by a test in a process of its own, talking to the test through pipes.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zelhart::testing {

using namespace std::chrono_literals;

// A test's helper program in a process of its own, with pipes on its standard input and output.
class ChildWithPipes {
  public:
    // args[0] is the program's path.
    explicit ChildWithPipes(std::vector<std::string> args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        // The child must not inherit signals blocked for a signalfd.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid_, args[0].c_str(), &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_.reset(in[1]);
        stdout_.reset(out[0]);
    }
    ChildWithPipes(const ChildWithPipes&) = delete;
    ChildWithPipes& operator=(const ChildWithPipes&) = delete;
    ~ChildWithPipes() { Kill(); }

    // One line of output, waiting at most five seconds; empty on time-out or end of output.
    std::string ReadLine() {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        char c;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{stdout_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            if (::read(stdout_.get(), &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
    void CloseInput() { stdin_.reset(); }
    // Exit status after the process ends by itself; -1 when it did not within three seconds.
    int Wait() {
        for (int i = 0; i < 3000; ++i) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(1ms);
        }
        return -1;
    }
    void Kill() {
        if (pid_ <= 0) return; // kill(-1) would reach every process of the user
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    platform::UniqueFd stdin_, stdout_;
};

} // namespace zelhart::testing
