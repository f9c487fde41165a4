// The whole stack, end to end: 4810cli (or the library in-process) -> libZelHartDriverInterface ->
// ZelHartDriver -> pseudo-terminal -> korvel4810-sim, each started here on a private runtime
// directory. One test runs at the real line rate; the others use an unpaced simulator and a short
// bus quiet time so that they take little time.
#include "client_device_io.h"
#include "library.h"

#include "temp_dir.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/hart_api.h"
#include "zelhart/platform/guid.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace zelhart::hartif::testing {
namespace {

using namespace std::chrono_literals;
namespace iomgr = platform::iomgr;

// Far from the COM numbers of real ports (ttyS<k> is COM<k+1>), so no real port stands in for it.
constexpr int kPort = 200;

// Identity request (command 0) to polling address 0 from the secondary master, with preambles.
HartMessage IdentityRequest(uint16_t tag) {
    HartMessage m{};
    const uint8_t frame[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(m.Data, frame, sizeof(frame));
    m.Length = sizeof(frame);
    m.RequestTag = tag;
    return m;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& d : {run, etc, home}) std::filesystem::create_directories(d);
        ::setenv("ZELHART_RUNTIME_DIR", run.c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", etc.c_str(), 1);
    }
    void TearDown() override {
        LibraryDetach();
        daemon.Stop();
        sim.Stop();
        ::unsetenv("ZELHART_RUNTIME_DIR");
        ::unsetenv("ZELHART_CONFIG_DIR");
    }

    // The data link waits only 50 ms of quiet bus after an open instead of 370 ms.
    void ShortQuietTime() {
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc, "\"QUIETTIME\"=dword:00000002\n"));
    }
    std::vector<std::string> SimArgs(bool paced) const {
        std::vector<std::string> args{"--port", std::to_string(kPort), "--log", root / "frames.log"};
        if (!paced) args.insert(args.end(), {"--no-pace", "--turnaround", "2"});
        return args;
    }
    void StartStack(bool paced) {
        ASSERT_EQ(sim.Start(run, SimArgs(paced)), "");
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = etc;
        ASSERT_EQ(daemon.Start(launch), "");
    }

    sim::ChildSpec Cli(std::vector<std::string> args) const {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", std::to_string(kPort)};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", etc}, {"HOME", home},
                    {"XDG_CONFIG_HOME", home},    {"LC_ALL", "C.UTF-8"}};
#ifdef ZELHART_STACK_TEST_LIBRARY
        // The sanitizers' dlopen looks a bare library name up without the calling program's run
        // path: in those builds the library is named by its file.
        spec.env.emplace_back(kInterfaceLibraryEnv, ZELHART_STACK_TEST_LIBRARY);
#endif
        spec.captureOutput = true;
        return spec;
    }
    std::pair<int, std::string> RunCli(std::vector<std::string> args, std::chrono::seconds timeout = 60s) {
        auto result = sim::RunToExit(Cli(std::move(args)), timeout);
        return result ? *result : std::pair<int, std::string>{-1, "did not end in time"};
    }

    // The protocol the HART device of the port holds now, asked of the device as any client would.
    std::optional<HartProtocolInfo> DeviceProtocol() {
        std::unique_ptr<iomgr::DeviceFile> file;
        std::string path = std::string(kDevicePathPrefix) + kDeviceNameGuidPrefix + "HART" + std::to_string(kPort);
        if (iomgr::DeviceFile::Open(path, iomgr::GENERIC_READ | iomgr::GENERIC_WRITE, 0, 0, &file) != 0) return {};
        HartProtocolInfo p{};
        uint32_t returned = 0;
        if (file->DeviceIoControl(IOCTL_HART_GET_PROTOCOL, &p, sizeof(p), &p, sizeof(p), &returned) != 0 ||
            returned != sizeof(p))
            return {};
        return p;
    }

    zelhart::testing::TempDir root;
    std::string run = root / "run", etc = root / "etc", home = root / "home";
    sim::SimProcess sim;
    hartdriver::DaemonProcess daemon;
};

// At 1200 baud: the transmitter is found, its whole configuration is read and saved, and the
// program's configuration words (secondary master, 4 retries) are what the driver holds afterwards.
TEST_F(StackTest, FindAndReadAndSaveAtTheRealLineRate) {
    StartStack(true);
    // HART devices live while the driver's function device is open somewhere: held here, the port's
    // device (and the protocol the program leaves in it) outlives each run of 4810cli.
    std::unique_ptr<iomgr::DeviceFile> functionDevice;
    std::string functionPath;
    ASSERT_EQ(iomgr::LookupDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface), 0, &functionPath), 0u);
    ASSERT_EQ(iomgr::DeviceFile::Open(functionPath, iomgr::GENERIC_READ, iomgr::FILE_SHARE_READ, 0, &functionDevice),
              0u);
    auto [findStatus, findOutput] = RunCli({"find"});
    ASSERT_EQ(findStatus, 0) << findOutput;
    EXPECT_NE(findOutput.find("252"), std::string::npos) << "device type 252 in the identity:\n" << findOutput;

    const std::string saved = root / "read.4810";
    auto [readStatus, readOutput] = RunCli({"read", "--save", saved});
    ASSERT_EQ(readStatus, 0) << readOutput;
    EXPECT_EQ(std::filesystem::file_size(saved), 103u);
    auto [showStatus, showOutput] = RunCli({"show", saved});
    ASSERT_EQ(showStatus, 0) << showOutput;
    // What was saved is what was read: the file's rows reappear in the read's output.
    size_t rows = 0;
    std::istringstream lines(showOutput);
    for (std::string line; std::getline(lines, line);)
        if (line.find(": ") != std::string::npos) {
            ++rows;
            EXPECT_NE(readOutput.find(line), std::string::npos) << line;
        }
    EXPECT_GT(rows, 5u) << showOutput;

    auto protocol = DeviceProtocol();
    ASSERT_TRUE(protocol.has_value());
    EXPECT_EQ(*protocol, (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4}));
}

// The library in-process over the real daemon: the transmitter's port goes away under an open device
// (failure records, no crash), comes back (the all-zero "device is back" record) and answers again
// without anything being reopened.
TEST_F(StackTest, TransmitterUnpluggedAndBackUnderAnOpenDevice) {
    ShortQuietTime();
    StartStack(false);
    LibraryAttach({MakeClientDeviceIo(), platform::SerialPortMapSources{run + "/ports", "", "", ""}, true});
    uint16_t index = 0xFFFF;
    ASSERT_EQ(hart_open(("HART" + std::to_string(kPort)).c_str(), &index), HDRV_SUCCESS);
    HartConfig config{0x00600000, 0x00060004};
    ASSERT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
    auto next = [&](HartMessage* record) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (hart_read(index, record) == HDRV_NO_MESSAGE)
            if (std::chrono::steady_clock::now() >= deadline) return false;
            else std::this_thread::sleep_for(2ms);
        return true;
    };
    auto exchange = [&](uint16_t tag) {
        HartMessage request = IdentityRequest(tag), record{};
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        ASSERT_TRUE(next(&record)) << "no answer to " << tag;
        EXPECT_EQ(record.Status, HART_STATUS_SLAVE_REPLY);
        EXPECT_EQ(record.Error, HART_ERROR_NONE);
        EXPECT_EQ(record.RequestTag, tag);
        ASSERT_GT(record.Length, 3);
        EXPECT_EQ(record.Data[2], 0) << "command 0 answered";
    };
    exchange(1);

    ASSERT_EQ(sim.Stop(), 0);
    auto* controller = CurrentLibrary()->Table().Get(index).get();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (controller->IsPresent() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    ASSERT_FALSE(controller->IsPresent()) << "the port's removal reached the library";
    HartMessage request = IdentityRequest(2), record{};
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    ASSERT_TRUE(next(&record));
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Error, HART_ERROR_WRITE);
    EXPECT_EQ(record.RequestTag, 2);

    ASSERT_EQ(sim.Start(run, SimArgs(false)), "");
    record.Length = 99;
    ASSERT_TRUE(next(&record)) << "no \"device is back\" record";
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Status, 0);
    EXPECT_EQ(record.Error, 0);
    exchange(3);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    // The device admits one handle at a time: asked once the library has let it go.
    auto protocol = DeviceProtocol();
    ASSERT_TRUE(protocol.has_value());
    EXPECT_EQ(*protocol, (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4})) << "configuration applied again";
}

// A C program compiled against the public header (C11, pedantic) exchanges one frame through the
// library and the real driver.
TEST_F(StackTest, ProgramInCExchangesAFrame) {
    ShortQuietTime();
    StartStack(false);
    sim::ChildSpec spec = Cli({});
    spec.executable = sim::ExecutableBesideThisProgram("interface_c_client");
    spec.args = {std::to_string(kPort)};
    auto result = sim::RunToExit(spec, 60s);
    ASSERT_TRUE(result.has_value()) << "did not end in time";
    EXPECT_EQ(result->first, 0) << result->second;
    EXPECT_NE(result->second.find("answer: 06 "), std::string::npos) << result->second;
}

// 4810cli monitoring while the transmitter goes away and comes back: the lost connection is reported,
// polling goes on, and readings come again once the transmitter is back.
TEST_F(StackTest, MonitoringReportsTheLostTransmitterAndCarriesOn) {
    ShortQuietTime();
    StartStack(false);
    sim::ChildProcess monitor;
    ASSERT_EQ(monitor.Start(Cli({"monitor", "--count", "100000", "--interval", "1"})), "");
    auto waitFor = [&](auto condition, std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition(monitor.Output()))
            if (std::chrono::steady_clock::now() >= deadline) return false;
            else std::this_thread::sleep_for(10ms);
        return true;
    };
    // Each poll ends with the measured values; a poll that failed has said so before them.
    const std::string reading = "Температура сенсора:", failure = "ошибка";
    auto count = [](std::string_view out, const std::string& what) {
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string_view::npos; at = out.find(what, at + 1)) ++n;
        return n;
    };
    auto readingsSinceLastFailure = [&](const std::string& out) {
        size_t last = out.rfind(failure);
        return count(std::string_view(out).substr(last == std::string::npos ? 0 : last), reading);
    };
    ASSERT_TRUE(waitFor([&](const std::string& out) { return count(out, reading) >= 1; }, 30s)) << monitor.Output();

    // Gone during the pause after a poll: the next poll finds no port and says so.
    ASSERT_EQ(sim.Stop(), 0);
    ASSERT_TRUE(waitFor([&](const std::string& out) { return out.find(failure) != std::string::npos; }, 60s))
        << monitor.Output();
    EXPECT_FALSE(monitor.Wait(0ms).has_value()) << "monitoring goes on";

    ASSERT_EQ(sim.Start(run, SimArgs(false)), "");
    ASSERT_TRUE(waitFor([&](const std::string& out) { return readingsSinceLastFailure(out) >= 2; }, 60s))
        << monitor.Output() << "\nZelHartDriver:\n" << daemon.Output();
    EXPECT_EQ(monitor.Terminate(), 128 + SIGTERM);
}

} // namespace
} // namespace zelhart::hartif::testing
