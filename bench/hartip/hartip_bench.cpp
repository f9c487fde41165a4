// zelhart-hartipd against the physical limit of the line: the same exchanges (command 0 by short
// address, then command 13 by the unique address, alternating) through the interface library in this
// process ("local") and through the server over UDP loopback, against the paced simulator; then the
// server's CPU while sessions sit idle and its memory per session.
//
//   hartip_bench [--exchanges N] [--idle-seconds S] [--sessions K]
#include "zelhart/driver/daemon_process.h"
#include "zelhart/hart_api.h"
#include "zelhart/hartip/message.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace zelhart;
using namespace zelhart::hartip;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kCom = 204;
constexpr double kCharMs = 11.0 * 1000.0 / 1200.0;
constexpr std::size_t kPreambles = 6;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "hartip_bench: %s\n", what.c_str());
    std::exit(1);
}

Bytes WithCheck(Bytes frame) {
    frame.push_back(CheckByte(frame));
    return frame;
}

long ProcTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return utime + stime;
}

long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return 0;
}

int Connect(bool udp, std::uint16_t port) {
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) Die("connect");
    return fd;
}

Message Exchange(int fd, const Bytes& request) {
    if (::send(fd, request.data(), request.size(), 0) != ssize_t(request.size())) Die("send");
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) Die("no reply from the server");
    std::uint8_t buffer[kMaxMessageSize];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    Message m;
    if (n <= 0 || Decode(std::span(buffer, size_t(n)), m) != DecodeError::None) Die("a reply that does not decode");
    return m;
}

Bytes Initiate(std::uint8_t master) {
    const auto body = EncodeSessionInitiate({master, 600000});
    return Encode(Header{1, 0, 0, 0, 1, 0}, Bytes(body.begin(), body.end()));
}

} // namespace

int main(int argc, char** argv) {
    int exchanges = 20, idleSeconds = 10, sessions = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--exchanges") exchanges = std::atoi(argv[i + 1]);
        else if (a == "--idle-seconds") idleSeconds = std::atoi(argv[i + 1]);
        else if (a == "--sessions") sessions = std::atoi(argv[i + 1]);
        else Die("usage: hartip_bench [--exchanges N] [--idle-seconds S] [--sessions K]");
    }
    char tmpl[] = "/tmp/zelhart-hartip-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) Die("mkdtemp");
    const std::string run = std::string(tmpl) + "/run";
    std::filesystem::create_directories(run);
    ::setenv("ZELHART_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("ZELHART_CONFIG_DIR", run.c_str(), 1);
    sim::SimProcess simulator;
    if (const auto e = simulator.Start(run, {"--port", std::to_string(kCom)}); !e.empty()) Die(e);
    hartdriver::DaemonProcess daemon;
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    if (const auto e = daemon.Start(launch); !e.empty()) Die(e);

    // The identity, locally, for the unique address.
    const Bytes command0 = WithCheck({0x02, 0x80, 0x00, 0x00});
    std::uint16_t index = 0;
    if (hart_open(("HART" + std::to_string(kCom)).c_str(), &index) != HDRV_SUCCESS) Die("hart_open");
    const HartConfig config{0x80, 4};
    hart_configure(index, &config);
    std::uint16_t tag = 0;
    auto local = [&](const Bytes& frame) {
        HartMessage request{};
        std::memset(request.Data, 0xFF, kPreambles);
        std::memcpy(request.Data + kPreambles, frame.data(), frame.size());
        request.Length = std::uint16_t(kPreambles + frame.size());
        request.RequestTag = ++tag;
        if (hart_write(index, &request) != HDRV_SUCCESS) Die("hart_write");
        HartMessage record{};
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (hart_read(index, &record) == HDRV_SUCCESS && record.RequestTag == tag && record.Length > 0)
                return Bytes(record.Data, record.Data + record.Length);
            if (hart_read(index, &record) != HDRV_SUCCESS) std::this_thread::sleep_for(1ms);
        }
        Die("no local answer");
    };
    Bytes identity;
    for (int i = 0; i < 3 && identity.size() < 18; ++i) identity = local(command0);
    if (identity.size() < 18) Die("no identity");
    const std::uint8_t* d = identity.data() + 4;
    const Bytes command13 = WithCheck({0x82, std::uint8_t(0x80 | (d[3] & 0x3F)), d[4], d[11], d[12], d[13], 0x0D, 0x00});

    double lineMs = 0;
    auto measure = [&](auto&& one) {
        lineMs = 0;
        const auto begin = Clock::now();
        for (int i = 0; i < exchanges; ++i) {
            const Bytes& frame = (i % 2) ? command13 : command0;
            const Bytes answer = one(frame);
            lineMs += double(kPreambles + frame.size() + 5 + answer.size()) * kCharMs; // the simulator's 5 preambles
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    };
    const double localMs = measure(local);
    hart_close(index);

    sim::ChildProcess server;
    sim::ChildSpec spec;
    spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
    spec.args = {"--max-sessions", std::to_string(std::max(sessions, 1)), "COM" + std::to_string(kCom) + "=0"};
    spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", run}};
    std::string ready;
    if (const auto e = server.StartAndAwaitReadyLine(spec, "zelhart-hartipd", 10s, &ready); !e.empty()) Die(e);
    const auto port = std::uint16_t(std::stoi(ready.substr(ready.find('=') + 1)));
    const int udp = Connect(true, port);
    if (Exchange(udp, Initiate(1)).header.status != status::kSuccess) Die("initiate");
    std::uint16_t sequence = 1;
    auto remote = [&](const Bytes& frame) {
        const Message m = Exchange(udp, Encode(Header{1, 0, 3, 0, ++sequence, 0}, frame));
        if (m.header.status != status::kSuccess) Die("status " + std::to_string(m.header.status));
        return m.body;
    };
    remote(command0); // opens the line (and its quiet time) outside the measurement
    const double remoteMs = measure(remote);
    std::printf("exchanges: %d (command 0 short, command 13 long, alternating); the line's time: %.1f ms\n",
                exchanges, lineMs);
    std::printf("local (library in-process): %.1f ms, %.3f x the line's time\n", localMs, localMs / lineMs);
    std::printf("over HART-IP (UDP loopback): %.1f ms, %.3f x the line's time; HART-IP / local: %.3f\n", remoteMs,
                remoteMs / lineMs, remoteMs / localMs);

    // Idle: the sessions open (one primary over UDP, the rest secondary over TCP), nothing sent.
    std::vector<int> fds;
    const long rssBefore = RssKb(server.pid());
    for (int i = 1; i < sessions; ++i) {
        fds.push_back(Connect(false, port));
        if (Exchange(fds.back(), Initiate(0)).header.status != status::kSuccess) Die("initiate " + std::to_string(i));
    }
    std::this_thread::sleep_for(200ms);
    const long rssAfter = RssKb(server.pid());
    const long ticks = ProcTicks(server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const long idleTicks = ProcTicks(server.pid()) - ticks;
    std::printf("idle with %d sessions open for %d s: server CPU %.2f %%\n", sessions, idleSeconds,
                100.0 * double(idleTicks) / double(::sysconf(_SC_CLK_TCK)) / idleSeconds);
    std::printf("memory: %ld kB with 1 session, %ld kB with %d: %.1f kB a session\n", rssBefore, rssAfter, sessions,
                sessions > 1 ? double(rssAfter - rssBefore) / (sessions - 1) : 0.0);
    for (int fd : fds) ::close(fd);
    ::close(udp);
    server.Terminate();
    daemon.Stop();
    simulator.Stop();
    std::filesystem::remove_all(tmpl);
    return 0;
}
