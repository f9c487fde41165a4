// Shared pieces of the framework tests: a daemon with the test driver on a private runtime directory,
// bounded waits, and a second client process.
#pragma once

#include "child_with_pipes.h"
#include "temp_dir.h"
#include "test_driver.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/unique_fd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// drvfw_test_client in a process of its own.
class ClientProcess : public ChildWithPipes {
  public:
    ClientProcess(const std::string& mode, const std::string& name)
        : ChildWithPipes({DRVFW_TEST_CLIENT, mode, name}) {}
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
        FrameworkOptions options = options_;
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
    FrameworkOptions options_; // what StartDaemon starts with (a test may set limits first)
    TestDriverLog log_;
    std::unique_ptr<Framework> fw_;
};

} // namespace zelhart::testing
