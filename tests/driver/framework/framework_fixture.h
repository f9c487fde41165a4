// Shared pieces of the framework tests: a daemon with the test driver on a private runtime directory,
// bounded waits, and a second client process.
#pragma once

#include "temp_dir.h"
#include "test_driver.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/unique_fd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
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

// Polls `condition` until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// drvfw_test_client in a process of its own, with pipes on its standard input and output.
class ClientProcess {
  public:
    ClientProcess(const std::string& mode, const std::string& name) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args{DRVFW_TEST_CLIENT, mode, name};
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
        if (posix_spawn(&pid_, DRVFW_TEST_CLIENT, &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_.reset(in[1]);
        stdout_.reset(out[0]);
    }
    ~ClientProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // One line of output, waiting at most three seconds; empty on time-out or end of output.
    std::string ReadLine() {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + 3s;
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
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    platform::UniqueFd stdin_, stdout_;
};

// A daemon with the test driver, serving on a private runtime directory.
class FrameworkFixture : public ::testing::Test {
  protected:
    void SetUp() override { StartDaemon(false); }
    void TearDown() override {
        if (fw_) fw_->Shutdown();
        fw_.reset();
        ::unsetenv("ZELHART_RUNTIME_DIR");
    }

    void StartDaemon(bool handleSignals) {
        ::setenv("ZELHART_RUNTIME_DIR", dir_.path().c_str(), 1);
        FrameworkOptions options;
        options.registryFile = dir_ / "ZelHartDriver.reg";
        options.handleSignals = handleSignals;
        fw_ = std::make_unique<Framework>(options);
        ASSERT_EQ(TestDriverEntry(*fw_, &log_), STATUS_SUCCESS);
        ASSERT_EQ(fw_->AddDevice("ROOT\\TESTDRIVER\\0000"), STATUS_SUCCESS);
        ASSERT_EQ(fw_->Listen(), STATUS_SUCCESS);
        fw_->Start();
    }

    std::unique_ptr<platform::iomgr::DeviceFile> Open(const std::string& name, uint32_t* error = nullptr) {
        std::unique_ptr<platform::iomgr::DeviceFile> file;
        uint32_t rc = platform::iomgr::DeviceFile::Open(
            "\\\\.\\" + name, platform::iomgr::GENERIC_READ | platform::iomgr::GENERIC_WRITE, 0,
            platform::iomgr::FILE_FLAG_OVERLAPPED, &file);
        if (error)
            *error = rc;
        else
            EXPECT_EQ(rc, platform::ERROR_SUCCESS) << name;
        return file;
    }

    TempDir dir_;
    TestDriverLog log_;
    std::unique_ptr<Framework> fw_;
};

} // namespace zelhart::testing
