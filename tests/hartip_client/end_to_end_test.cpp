// End to end on loopback: korvel4810-sim -> ZelHartDriver -> zelhart-hartipd -> HART-IP -> 4810cli. The
// configuration read over plain UDP, plain TCP and TLS-PSK over TCP is saved byte for byte as the read
// of the same transmitter through the local daemon saves it.
#include "temp_dir.h"
#include "zelhart/hart_api.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zelhart::hartif::testing {
namespace {

using namespace std::chrono_literals;

// The simulator's port, served by the daemon: a number of the simulators' range that no real port of
// this machine has, so that the daemon never opens a real UART in its place.
const int kLocalPort = [] {
    auto sources = platform::DefaultSerialPortMapSources();
    sources.portsDir.clear(); // the test's own links are in its private runtime directory
    sources.portsConf.clear();
    return platform::FreeComNumber(sources);
}();
constexpr int kRemotePort = 250; // the same port reached over HART-IP

// A port number free for both TCP and UDP on loopback right now.
uint16_t FreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(a);
        uint16_t port = 0;
        if (::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
            ::getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &length) == 0 &&
            ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
            port = ntohs(a.sin_port);
        ::close(tcp);
        ::close(udp);
        if (port) return port;
    }
    return 0;
}

// Whether something accepts TCP connections on the loopback port.
bool Accepts(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    ::close(fd);
    return ok;
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class HartIpEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& d : {run, etc, home, desk}) std::filesystem::create_directories(d);
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc, "\"QUIETTIME\"=dword:00000002\n"));
        ASSERT_EQ(sim.Start(run, {"--port", std::to_string(kLocalPort), "--no-pace", "--turnaround", "2"}), "");
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = etc;
        ASSERT_EQ(daemon.Start(launch), "");
    }
    void TearDown() override {
        server.Terminate();
        daemon.Stop();
        sim.Stop();
    }

    void StartServer(std::vector<std::string> options) {
        port = FreePort();
        ASSERT_NE(port, 0);
        sim::ChildSpec spec;
        spec.executable = ZELHART_HARTIPD_PATH;
        spec.args = {"--bind", "127.0.0.1"};
        spec.args.insert(spec.args.end(), options.begin(), options.end());
        spec.args.push_back("COM" + std::to_string(kLocalPort) + "=" + std::to_string(port));
        spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", etc}, {kInterfaceLibraryEnv, ZELHART_INTERFACE_LIBRARY_PATH}};
        spec.captureOutput = true;
        ASSERT_EQ(server.Start(spec), "");
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!Accepts(port)) {
            ASSERT_TRUE(server.running() && std::chrono::steady_clock::now() < deadline)
                << "zelhart-hartipd does not serve:\n" << server.Output();
            std::this_thread::sleep_for(20ms);
        }
    }

    // 4810cli on the desk: its own configuration directory, no daemon of its own.
    std::pair<int, std::string> ReadAndSave(const std::string& portsLine, int port, const std::string& runtimeDir,
                                            const std::string& configDir, const std::string& saved) {
        if (!portsLine.empty()) std::ofstream(configDir + "/ports.conf") << portsLine << "\n";
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", std::to_string(port), "read", "--save", saved};
        spec.env = {{"ZELHART_RUNTIME_DIR", runtimeDir}, {"ZELHART_CONFIG_DIR", configDir}, {"HOME", home},
                    {"XDG_CONFIG_HOME", home}, {"LC_ALL", "C.UTF-8"}, {kInterfaceLibraryEnv, ZELHART_INTERFACE_LIBRARY_PATH}};
        spec.captureOutput = true;
        auto result = sim::RunToExit(spec, 60s);
        return result ? *result : std::pair<int, std::string>{-1, "did not end in time"};
    }
    std::string LocalRead() {
        const std::string saved = root / "local.4810";
        auto [status, output] = ReadAndSave("", kLocalPort, run, etc, saved);
        EXPECT_EQ(status, 0) << output;
        return Bytes(saved);
    }
    std::string RemoteRead(const std::string& url) {
        const std::string saved = root / "remote.4810";
        std::filesystem::remove(saved);
        auto [status, output] = ReadAndSave("COM" + std::to_string(kRemotePort) + "=" + url, kRemotePort,
                                            desk + "/run", desk, saved);
        EXPECT_EQ(status, 0) << output << "\nserver:\n" << server.Output();
        return Bytes(saved);
    }

    zelhart::testing::TempDir root;
    std::string run = root / "run", etc = root / "etc", home = root / "home", desk = root / "desk";
    sim::SimProcess sim;
    hartdriver::DaemonProcess daemon;
    sim::ChildProcess server;
    uint16_t port = 0;
};

TEST_F(HartIpEndToEndTest, PlainUdpAndTcpReadsSaveWhatTheLocalReadSaves) {
    StartServer({});
    const std::string local = LocalRead();
    ASSERT_EQ(local.size(), 103u);
    EXPECT_EQ(RemoteRead("hartip+udp://127.0.0.1:" + std::to_string(port)), local);
    EXPECT_EQ(RemoteRead("hartip+tcp://127.0.0.1:" + std::to_string(port)), local);
}

TEST_F(HartIpEndToEndTest, ASecuredTcpReadSavesWhatTheLocalReadSaves) {
    const std::string keys = root / "server.keys", key = desk + "/desk1.key";
    std::ofstream(keys) << "desk1:00112233445566778899aabbccddeeff\n";
    std::ofstream(key) << "00112233445566778899aabbccddeeff\n";
    ASSERT_EQ(::chmod(keys.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(key.c_str(), 0600), 0);
    StartServer({"--psk-file", keys});
    const std::string local = LocalRead();
    ASSERT_EQ(local.size(), 103u);
    EXPECT_EQ(RemoteRead("hartip://127.0.0.1:" + std::to_string(port) + "?psk-identity=desk1&psk-file=" + key), local);
}

} // namespace
} // namespace zelhart::hartif::testing
