// End to end on loopback: korvel4810-sim -> ZelHartDriver -> zelhart-hartipd -> HART-IP -> 4810cli. Each
// row runs a 4810cli command on a remote-mapped port (plain UDP, plain TCP, TLS-PSK over TCP) and the same
// command on the local port: the configuration read is saved byte for byte alike, "check" and a few polls
// of "monitor" print the same text.
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

enum class Transport { Udp, Tcp, Tls };

struct Row {
    const char* name;
    Transport transport;
    std::vector<std::string> args; // after "--port N"; "read" saves to a file that is compared
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class HartIpEndToEndTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        for (const auto& d : {run, etc, home, desk}) std::filesystem::create_directories(d);
        ASSERT_TRUE(hartdriver::WriteServiceKey(etc, "\"QUIETTIME\"=dword:00000002\n"));
        // The live values hold still, so that polls of the same transmitter print the same.
        const std::string state = root / "sim-state.txt";
        std::ofstream(state) << "format = 1\ndrift = 0\n";
        ASSERT_EQ(sim.Start(run, {"--port", std::to_string(kLocalPort), "--no-pace", "--turnaround", "2", "--state", state}),
                  "");
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
    // The server for the row's transport; the port map's address of it.
    std::string ServeRemotePort(Transport transport) {
        if (transport != Transport::Tls) {
            StartServer({});
            return (transport == Transport::Udp ? "hartip+udp://127.0.0.1:" : "hartip+tcp://127.0.0.1:") +
                   std::to_string(port);
        }
        const std::string keys = root / "server.keys", key = desk + "/desk1.key";
        std::ofstream(keys) << "desk1:00112233445566778899aabbccddeeff\n";
        std::ofstream(key) << "00112233445566778899aabbccddeeff\n";
        EXPECT_EQ(::chmod(keys.c_str(), 0600), 0);
        EXPECT_EQ(::chmod(key.c_str(), 0600), 0);
        StartServer({"--psk-file", keys});
        return "hartip://127.0.0.1:" + std::to_string(port) + "?psk-identity=desk1&psk-file=" + key;
    }

    // 4810cli: its status and its output (or, for "read", the file it saved).
    std::pair<int, std::string> Run(std::vector<std::string> args, int com, const std::string& runtimeDir,
                                    const std::string& configDir) {
        const std::string saved = root / "saved.4810";
        std::filesystem::remove(saved);
        const bool read = args.front() == "read";
        if (read) args.insert(args.end(), {"--save", saved});
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("4810cli");
        spec.args = {"--port", std::to_string(com)};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = {{"ZELHART_RUNTIME_DIR", runtimeDir}, {"ZELHART_CONFIG_DIR", configDir}, {"HOME", home},
                    {"XDG_CONFIG_HOME", home}, {"LC_ALL", "C.UTF-8"}, {kInterfaceLibraryEnv, ZELHART_INTERFACE_LIBRARY_PATH}};
        spec.captureOutput = true;
        auto result = sim::RunToExit(spec, 60s);
        if (!result) return {-1, "did not end in time"};
        if (result->first != 0 || !read) return *result;
        return {0, Bytes(saved)};
    }

    zelhart::testing::TempDir root;
    std::string run = root / "run", etc = root / "etc", home = root / "home", desk = root / "desk";
    sim::SimProcess sim;
    hartdriver::DaemonProcess daemon;
    sim::ChildProcess server;
    uint16_t port = 0;
};

TEST_P(HartIpEndToEndTest, TheRemotePortGivesWhatTheLocalPortGives) {
    const Row& row = GetParam();
    const std::string url = ServeRemotePort(row.transport);
    const auto local = Run(row.args, kLocalPort, run, etc);
    ASSERT_EQ(local.first, 0) << local.second;
    if (row.args.front() == "read") {
        ASSERT_EQ(local.second.size(), 103u);
    }
    std::ofstream(desk + "/ports.conf") << "COM" << kRemotePort << "=" << url << "\n";
    const auto remote = Run(row.args, kRemotePort, desk + "/run", desk);
    EXPECT_EQ(remote.first, 0) << remote.second << "\nserver:\n" << server.Output();
    EXPECT_EQ(remote.second, local.second) << "server:\n" << server.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HartIpEndToEndTest,
    ::testing::Values(Row{"ReadUdp", Transport::Udp, {"read"}}, Row{"ReadTcp", Transport::Tcp, {"read"}},
                      Row{"ReadTls", Transport::Tls, {"read"}}, Row{"CheckTcp", Transport::Tcp, {"check"}},
                      Row{"CheckTls", Transport::Tls, {"check"}},
                      Row{"MonitorTcp", Transport::Tcp, {"monitor", "--count", "3", "--interval", "0.2"}},
                      Row{"MonitorTls", Transport::Tls, {"monitor", "--count", "3", "--interval", "0.2"}}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

} // namespace
} // namespace zelhart::hartif::testing
