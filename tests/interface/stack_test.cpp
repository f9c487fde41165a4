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
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
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
// The simulator's COM number: one that no real port of this machine has, chosen once, so that
// nothing moves to a real UART when the simulator goes away.
int Port() {
    static const int port = [] {
        auto sources = platform::DefaultSerialPortMapSources();
        sources.portsDir.clear(); // every test's own links are in its private runtime directory
        return platform::FreeComNumber(sources);
    }();
    return port;
}

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
        std::vector<std::string> args{"--port", std::to_string(Port()), "--log", root / "frames.log"};
        if (!paced) args.insert(args.end(), {"--no-pace", "--turnaround", "2"});
        return args;
    }
    void StartStack(bool paced) {
        ASSERT_EQ(sim.Start(run, SimArgs(paced)), "");
        StartDaemon();
    }
    void StartDaemon() {
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = etc;
        ASSERT_EQ(daemon.Start(launch), "");
    }

    // The library in-process over the real daemon, following this test's ports.
    void AttachLibrary() {
        LibraryAttach({MakeClientDeviceIo(), platform::SerialPortMapSources{run + "/ports", "", "", ""}, true, {}});
    }
    // HART<Port()> opened and configured as the program does it (secondary master, 4 retries).
    uint16_t OpenConfigured() {
        uint16_t index = 0xFFFF;
        EXPECT_EQ(hart_open(("HART" + std::to_string(Port())).c_str(), &index), HDRV_SUCCESS);
        HartConfig config{0x00600000, 0x00060004};
        EXPECT_EQ(hart_configure(index, &config), HDRV_SUCCESS);
        return index;
    }
    static bool NextRecord(uint16_t index, HartMessage* record, std::chrono::milliseconds timeout = 10s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (hart_read(index, record) == HDRV_NO_MESSAGE)
            if (std::chrono::steady_clock::now() >= deadline) return false;
            else std::this_thread::sleep_for(2ms);
        return true;
    }
    // One identity request and its answer, tagged.
    static void ExpectExchange(uint16_t index, uint16_t tag) {
        HartMessage request = IdentityRequest(tag), record{};
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
        ASSERT_TRUE(NextRecord(index, &record)) << "no answer to " << tag;
        EXPECT_EQ(record.Status, HART_STATUS_SLAVE_REPLY);
        EXPECT_EQ(record.Error, HART_ERROR_NONE);
        EXPECT_EQ(record.RequestTag, tag);
        ASSERT_GT(record.Length, 3);
        EXPECT_EQ(record.Data[2], 0) << "command 0 answered";
    }
    // The all-zero record that says the device is back.
    static void ExpectDeviceBack(uint16_t index, std::chrono::milliseconds timeout = 10s) {
        HartMessage record{};
        record.Length = 99;
        ASSERT_TRUE(NextRecord(index, &record, timeout)) << "no \"device is back\" record";
        EXPECT_EQ(record.Length, 0);
        EXPECT_EQ(record.Status, 0);
        EXPECT_EQ(record.Error, 0);
    }
    // Frames the simulator has heard so far (its frame log).
    size_t FramesHeard() const {
        std::ifstream log(root / "frames.log");
        size_t n = 0;
        for (std::string line; std::getline(log, line);) n += line.starts_with("RX") ? 1 : 0;
        return n;
    }

    sim::ChildSpec Cli(std::vector<std::string> args) const {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", std::to_string(Port())};
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

    // What the HART device of the port holds now (IOCTL_HART_GET_PROTOCOL or _GET_READ_MASK), asked of
    // the device as any client would.
    template <typename T>
    std::optional<T> DeviceQuery(uint32_t code) {
        std::unique_ptr<iomgr::DeviceFile> file;
        std::string path = std::string(kDevicePathPrefix) + kDeviceNameGuidPrefix + "HART" + std::to_string(Port());
        if (iomgr::DeviceFile::Open(path, iomgr::GENERIC_READ | iomgr::GENERIC_WRITE, 0, 0, &file) != 0) return {};
        T value{};
        uint32_t returned = 0;
        if (file->DeviceIoControl(code, &value, sizeof(value), &value, sizeof(value), &returned) != 0 ||
            returned != sizeof(value))
            return {};
        return value;
    }
    std::optional<HartProtocolInfo> DeviceProtocol() { return DeviceQuery<HartProtocolInfo>(IOCTL_HART_GET_PROTOCOL); }

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
    AttachLibrary();
    uint16_t index = OpenConfigured();
    ExpectExchange(index, 1);

    ASSERT_EQ(sim.Stop(), 0);
    auto* controller = CurrentLibrary()->Table().Get(index).get();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (controller->IsPresent() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    ASSERT_FALSE(controller->IsPresent()) << "the port's removal reached the library";
    HartMessage request = IdentityRequest(2), record{};
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Error, HART_ERROR_WRITE);
    EXPECT_EQ(record.RequestTag, 2);

    ASSERT_EQ(sim.Start(run, SimArgs(false)), "");
    ExpectDeviceBack(index);
    ExpectExchange(index, 3);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    // The device admits one handle at a time: asked once the library has let it go.
    auto protocol = DeviceProtocol();
    ASSERT_TRUE(protocol.has_value());
    EXPECT_EQ(*protocol, (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4})) << "configuration applied again";
}

// hart_close stops the device at once: the requests still queued are discarded, the one on the line
// is cancelled, and nothing of the device reaches the transmitter afterwards (its frame log says so).
TEST_F(StackTest, CloseDiscardsQueuedRequestsAndReturnsWithinAnExchange) {
    StartStack(true);
    AttachLibrary();
    uint16_t index = OpenConfigured();
    for (uint16_t tag = 1; tag <= 30; ++tag) {
        HartMessage request = IdentityRequest(tag);
        ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    }
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record, 20s)) << "the first answer; the second request is on its way";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    const auto took = std::chrono::steady_clock::now() - started;
    // One exchange at 1200 baud takes about 0.4 s; the 29 requests left would take over 10 s.
    EXPECT_LT(took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    // What the daemon wrote before the close has been heard by now: the paced simulator hears a
    // request when its last character would have arrived, 11 characters (101 ms) after it was written.
    std::this_thread::sleep_for(400ms);
    const size_t atClose = FramesHeard();
    EXPECT_LE(atClose, 3u) << "requests sent after the first answer";
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(FramesHeard(), atClose) << "a request of the closed device reached the line";
}

// A daemon that stops answering (SIGSTOP) holds no call of the library for long: the write on its
// way, a subscription and the close each end with a failure code within the library's time-outs.
TEST_F(StackTest, DaemonThatStopsAnsweringGivesFailureCodesNotAHang) {
    ShortQuietTime();
    StartStack(false);
    AttachLibrary();
    uint16_t index = OpenConfigured();
    ExpectExchange(index, 1);
    ASSERT_TRUE(daemon.Signal(SIGSTOP));
    struct Continue {
        hartdriver::DaemonProcess& daemon;
        ~Continue() { daemon.Signal(SIGCONT); }
    } continueAtTheEnd{daemon};
    // Each call runs in a thread of its own, so that a hang fails the test instead of holding it.
    auto within = [&](auto call, std::chrono::seconds limit) -> std::optional<int32_t> {
        auto result = std::async(std::launch::async, call);
        if (result.wait_for(limit) == std::future_status::ready) return result.get();
        daemon.Signal(SIGCONT); // lets the call end, so that the test can
        return std::nullopt;
    };
    HartMessage request = IdentityRequest(2), record{};
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    ASSERT_TRUE(NextRecord(index, &record, 20s)) << "the write is given up";
    EXPECT_EQ(record.Error, HART_ERROR_WRITE);
    EXPECT_EQ(record.RequestTag, 2);
    EXPECT_EQ(within([&] { return hart_subscribe(index, HART_SUBSCRIBE_OTHER_MASTER_REQUESTS); }, 20s),
              std::optional<int32_t>(HDRV_FAILURE));
    auto closed = within([&] { return hart_close(index); }, 20s);
    EXPECT_TRUE(closed.has_value()) << "hart_close came back";
}

// The daemon started after the device was opened, and started again after it was killed under the
// open device: each time the library sees its socket appear, reconnects the device with the remembered
// configuration and subscription, and the next exchange is answered.
TEST_F(StackTest, DaemonStartedLaterOrAgainIsFoundWithoutReopening) {
    ShortQuietTime();
    ASSERT_EQ(sim.Start(run, SimArgs(false)), "");
    AttachLibrary();
    uint16_t index = OpenConfigured();
    ASSERT_EQ(hart_subscribe(index, HART_SUBSCRIBE_OTHER_MASTER_REQUESTS), HDRV_SUCCESS);
    HartMessage request = IdentityRequest(1), record{};
    ASSERT_EQ(hart_write(index, &request), HDRV_SUCCESS);
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_EQ(record.Error, HART_ERROR_WRITE) << "no daemon yet";

    StartDaemon();
    ExpectDeviceBack(index);
    ExpectExchange(index, 2);

    ASSERT_EQ(::kill(daemon.process().pid(), SIGKILL), 0);
    ASSERT_TRUE(daemon.process().Wait(5s).has_value());
    StartDaemon();
    ExpectDeviceBack(index);
    ExpectExchange(index, 3);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    EXPECT_EQ(DeviceProtocol(), (HartProtocolInfo{0, HART_SECONDARY_MASTER, 4}));
    EXPECT_EQ(DeviceQuery<uint8_t>(IOCTL_HART_GET_READ_MASK), uint8_t(RCV_MASK_ACK_THIS_MASTER | RCV_MASK_STX_OTHER_MASTER));
}

// The device node removed and created again while the daemon runs (the setup helper, then its
// -ReEnumerate): an open device is found again without reopening, and a new open works.
TEST_F(StackTest, DeviceNodeRemovedAndCreatedAgainIsFoundAgain) {
    ShortQuietTime();
    const std::string sysroot = root / "sysroot";
    auto helper = [&](const std::string& commandLine) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("ZelHartDriverSetupCustomAction");
        spec.args = {commandLine + "," + std::string(root / "setup.log")};
        spec.env = {{"ZELHART_SYSROOT", sysroot}, {"ZELHART_RUNTIME_DIR", run}};
        spec.captureOutput = true;
        auto result = sim::RunToExit(spec, 10s);
        return result ? result->first : -1;
    };
    const std::string create = std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver";
    ASSERT_EQ(helper(std::string("-DriverPackageInstall,") + PRODUCT_INF), 0);
    ASSERT_EQ(helper(create), 0);
    ASSERT_EQ(sim.Start(run, SimArgs(false)), "");
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    launch.configDir = etc;
    launch.sysRoot = sysroot;
    ASSERT_EQ(daemon.Start(launch), "");
    AttachLibrary();
    uint16_t index = OpenConfigured();
    ExpectExchange(index, 1);

    ASSERT_EQ(helper("-DeviceNodesRemoveAll,{A03641F9-2C4F-43C0-AB95-8EB734EA7071},ROOT\\ZelHartDriver,ZelHart"), 0);
    ASSERT_EQ(helper("-ReEnumerate"), 0);
    std::string path;
    const auto guid = *platform::ParseGuid(kHartFunctionDeviceInterface);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (iomgr::LookupDeviceInterface(guid, 0, &path) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(iomgr::LookupDeviceInterface(guid, 0, &path), 0u) << daemon.Output();

    ASSERT_EQ(helper(create), 0);
    ASSERT_EQ(helper("-ReEnumerate"), 0);
    ExpectDeviceBack(index);
    ExpectExchange(index, 2);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
    index = OpenConfigured();
    ExpectExchange(index, 3);
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

// A C program compiled against the public header (C11, pedantic) exchanges one frame through the
// library and the real driver.
TEST_F(StackTest, ProgramInCExchangesAFrame) {
    ShortQuietTime();
    StartStack(false);
    sim::ChildSpec spec = Cli({});
    spec.executable = sim::ExecutableBesideThisProgram("interface_c_client");
    spec.args = {std::to_string(Port())};
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
