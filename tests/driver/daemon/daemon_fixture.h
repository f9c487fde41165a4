// ZelHartDriver and korvel4810-sim as processes on a private runtime directory, with the test as the
// client. Simulators run unpaced with a 2 ms turnaround unless a test asks otherwise; the service key
// shortens the quiet time after a port is opened (QUIETTIME 2) unless a test writes its own.
#pragma once

#include "hart_client.h"
#include "temp_dir.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace zelhart::testing {

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(run_);
        std::filesystem::create_directories(etc_);
        ::setenv("ZELHART_RUNTIME_DIR", run_.c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", etc_.c_str(), 1);
        WriteRegistry("\"QUIETTIME\"=dword:00000002\n");
    }

    void TearDown() override {
        // A clean stop, also under the sanitizers (a leak or an error report changes the status).
        if (daemon_.process().running()) {
            EXPECT_EQ(daemon_.Stop(), 0) << daemon_.Output();
        }
        sims_.clear();
        ::unsetenv("ZELHART_RUNTIME_DIR");
        ::unsetenv("ZELHART_CONFIG_DIR");
    }

    // The service key: `values` are lines such as "\"DebugLevel\"=dword:00000001".
    void WriteRegistry(const std::string& values) {
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc_, values));
    }
    void RemoveRegistry() { std::filesystem::remove(etc_ + "/ZelHartDriver.reg"); }

    sim::SimProcess& StartSim(int port, std::vector<std::string> extra = {}, bool paced = false) {
        std::vector<std::string> args{"--port", std::to_string(port), "--log", SimLog(port)};
        if (!paced) args.insert(args.end(), {"--no-pace", "--turnaround", "2"});
        args.insert(args.end(), extra.begin(), extra.end());
        auto& sim = sims_[port];
        sim = std::make_unique<sim::SimProcess>();
        std::string error = sim->Start(run_, args);
        EXPECT_EQ(error, "");
        return *sim;
    }

    void StartDaemon(std::vector<std::string> args = {}) {
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run_;
        launch.configDir = etc_;
        launch.args = std::move(args);
        ASSERT_EQ(daemon_.Start(launch), "");
    }

    std::string SimLog(int port) const { return dir_ / ("sim" + std::to_string(port) + ".log"); }

    // Frames the simulator heard ("RX" lines of its log).
    int CountHeard(int port) const {
        std::ifstream f(SimLog(port));
        std::string line;
        int n = 0;
        while (std::getline(f, line))
            if (line.rfind("RX", 0) == 0) ++n;
        return n;
    }

    // The test's ports, on COM numbers no real port of this machine has (TestCom).
    const int comA_ = TestCom(0), comB_ = TestCom(1), comC_ = TestCom(2), comD_ = TestCom(3),
              comE_ = TestCom(4);
    TempDir dir_;
    std::string run_ = dir_ / "run";
    std::string etc_ = dir_ / "etc";
    hartdriver::DaemonProcess daemon_;
    std::map<int, std::unique_ptr<sim::SimProcess>> sims_;
};

} // namespace zelhart::testing
