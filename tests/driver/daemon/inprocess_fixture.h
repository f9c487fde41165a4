// The driver in the test's own process: the framework, DriverEntry and the function device, serving
// a private runtime directory, so that tests can look at the driver's objects directly.
#pragma once

#include "contexts.h"
#include "hart_client.h"
#include "hart_trace.h"
#include "temp_dir.h"
#include "zelhart/driver/daemon_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace zelhart::testing {

class InProcessDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(run_);
        std::filesystem::create_directories(etc_);
        ::setenv("ZELHART_RUNTIME_DIR", run_.c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", etc_.c_str(), 1);
        hartdriver::SetHartTraceWriter([this](std::string_view line) {
            std::lock_guard lock(traceMutex_);
            trace_ += line;
        });
    }
    void TearDown() override {
        if (fw_) fw_->Shutdown();
        fw_.reset();
        hartdriver::SetHartTraceWriter(nullptr);
        hartdriver::DebugLevel = 0;
        ::unsetenv("ZELHART_RUNTIME_DIR");
        ::unsetenv("ZELHART_CONFIG_DIR");
    }

    void WriteRegistry(const std::string& values) {
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc_, values));
    }

    void StartDriver() {
        drvfw::FrameworkOptions options;
        fw_ = std::make_unique<drvfw::Framework>(options);
        ASSERT_EQ(hartdriver::DriverEntry(*fw_, fw_->RegistryPath()), STATUS_SUCCESS);
        ASSERT_EQ(fw_->AddDevice("ROOT\\ZELHARTDRIVER\\0000"), STATUS_SUCCESS);
        ASSERT_EQ(fw_->Listen(), STATUS_SUCCESS);
        fw_->Start();
    }

    hartdriver::DRIVER_CONTEXT* Driver() { return hartdriver::DriverGetContext(fw_->GetDriver()); }

    // The HART devices on the given ports, in the driver's order (the machine's own serial ports get
    // HART devices too; tests look at theirs only).
    std::vector<drvfw::WDFDEVICE> HartDevicesOn(const std::vector<std::string>& paths) {
        std::vector<drvfw::WDFDEVICE> devices;
        auto* d = Driver();
        std::lock_guard lock(*d->HartDevicesLock);
        for (size_t i = 0; i < d->HartDevices->GetCount(); ++i) {
            drvfw::WDFDEVICE device = d->HartDevices->GetItem(i);
            auto* ctx = hartdriver::HartDeviceGetContext(device);
            if (ctx && std::find(paths.begin(), paths.end(), ctx->TargetName) != paths.end())
                devices.push_back(device);
        }
        return devices;
    }

    // Open handles of the function device.
    int32_t DeviceCount() {
        for (const auto& d : fw_->Devices())
            if (!d->IsControlDevice())
                if (auto* c = hartdriver::DeviceGetContext(d)) {
                    std::lock_guard lock(*c->DeviceCountLock);
                    return c->lDeviceCount;
                }
        return -1;
    }

    std::string Trace() {
        std::lock_guard lock(traceMutex_);
        return trace_;
    }

    // The test's ports, on COM numbers no real port of this machine has (TestCom).
    const int comA_ = TestCom(0), comB_ = TestCom(1), comC_ = TestCom(2), comD_ = TestCom(3),
              comE_ = TestCom(4);
    TempDir dir_;
    std::string run_ = dir_ / "run";
    std::string etc_ = dir_ / "etc";
    std::unique_ptr<drvfw::Framework> fw_;
    std::mutex traceMutex_;
    std::string trace_;
};

} // namespace zelhart::testing
