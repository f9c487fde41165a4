// zelhart-hartipd against the physical limit of the line: the whole configuration read ("4810cli read",
// identity and the six read steps) of the paced simulator, through the local daemon and through the
// server over HART-IP loopback (plain TCP and UDP), the three reads interleaved round after round so
// that the machine's load falls on all of them alike; each read against the line's time (every frame
// of it, both directions, from the simulator's frame log) and the median of the rounds' ratios
// HART-IP / local. Then the server's CPU while sessions sit idle and its memory per session.
//
//   hartip_bench [--runs N] [--idle-seconds S] [--sessions K] [--quick]
#include "read_timing.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/hart_api.h"
#include "zelhart/hartip/message.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include <algorithm>
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
constexpr int kTcpCom = 250, kUdpCom = 251; // the same port reached over HART-IP

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "hartip_bench: %s\n", what.c_str());
    std::exit(1);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string FileText(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), {});
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
    int runs = 3, idleSeconds = 10, sessions = 64;
    bool quick = false; // a check of the bench itself: the simulator unpaced, the bus quiet time short
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--quick") quick = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--quick") {
            --i;
            continue;
        }
        if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--idle-seconds") idleSeconds = std::atoi(argv[i + 1]);
        else if (a == "--sessions") sessions = std::atoi(argv[i + 1]);
        else Die("usage: hartip_bench [--runs N] [--idle-seconds S] [--sessions K] [--quick]");
    }
    char tmpl[] = "/tmp/zelhart-hartip-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) Die("mkdtemp");
    const std::string run = std::string(tmpl) + "/run";
    std::filesystem::create_directories(run);
    ::setenv("ZELHART_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("ZELHART_CONFIG_DIR", run.c_str(), 1);
    const std::string log = std::string(tmpl) + "/frames.log";
    std::vector<std::string> simArgs = {"--port", std::to_string(kCom), "--log", log};
    if (quick) {
        simArgs.insert(simArgs.end(), {"--no-pace", "--turnaround", "2"});
        hartdriver::WriteServiceKey(run, "\"QUIETTIME\"=dword:00000002\n");
    }
    sim::SimProcess simulator;
    if (const auto e = simulator.Start(run, simArgs); !e.empty()) Die(e);
    hartdriver::DaemonProcess daemon;
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    if (const auto e = daemon.Start(launch); !e.empty()) Die(e);

    sim::ChildProcess server;
    sim::ChildSpec spec;
    spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
    spec.args = {"--max-sessions", std::to_string(std::max(sessions, 1)), "COM" + std::to_string(kCom) + "=0"};
    spec.env = {{"ZELHART_RUNTIME_DIR", run}, {"ZELHART_CONFIG_DIR", run}};
    spec.captureOutput = true; // its log of every session
    std::string ready;
    if (const auto e = server.StartAndAwaitReadyLine(spec, "zelhart-hartipd", 10s, &ready); !e.empty()) Die(e);
    const auto port = std::uint16_t(std::stoi(ready.substr(ready.find('=') + 1)));

    // The desk: a configuration directory of its own whose port map sends two COM numbers to the server.
    const std::string desk = std::string(tmpl) + "/desk", home = std::string(tmpl) + "/home";
    std::filesystem::create_directories(desk + "/run");
    std::filesystem::create_directories(home);
    std::ofstream(desk + "/ports.conf") << "COM" << kTcpCom << "=hartip+tcp://127.0.0.1:" << port << "\n"
                                         << "COM" << kUdpCom << "=hartip+udp://127.0.0.1:" << port << "\n";
    std::size_t framesSeen = 0;
    // One whole read: its time and the line's time of its frames.
    auto read = [&](int com, bool remote) {
        sim::ChildSpec cli;
        cli.executable = sim::ExecutableBesideThisProgram("4810cli");
        cli.args = {"--port", std::to_string(com), "read"};
        cli.env = {{"ZELHART_RUNTIME_DIR", remote ? desk + "/run" : run}, {"ZELHART_CONFIG_DIR", remote ? desk : run},
                   {"HOME", home}, {"XDG_CONFIG_HOME", home}, {"LC_ALL", "C.UTF-8"}};
        cli.captureOutput = true;
        const auto start = Clock::now();
        const auto result = sim::RunToExit(cli, 120s);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!result || result->first != 0) Die("4810cli read on COM" + std::to_string(com) + " failed:\n" +
                                               (result ? result->second : "did not end"));
        std::string error;
        const auto frames = bench::ParseFrameLog(FileText(log), &error);
        if (!error.empty()) Die(error);
        double wireMs = 0;
        for (std::size_t i = framesSeen; i < frames.size(); ++i) wireMs += double(frames[i].bytes) * bench::kCharacterMs;
        framesSeen = frames.size();
        return std::pair{ms, wireMs};
    };
    struct Path {
        const char* name;
        int com;
        bool remote;
        std::vector<double> ms, line, ratio; // ratio: against the local read of the same round
    };
    Path paths[] = {{"local (the daemon)", kCom, false, {}, {}, {}},
                    {"HART-IP, TCP loopback", kTcpCom, true, {}, {}, {}},
                    {"HART-IP, UDP loopback", kUdpCom, true, {}, {}, {}}};
    for (int round = 0; round < runs; ++round) {
        double roundMs[3] = {};
        for (int k = 0; k < 3; ++k) { // each round in another order: no path always first after a pause
            const int i = (k + round) % 3;
            const auto [ms, wire] = read(paths[i].com, paths[i].remote);
            roundMs[i] = ms;
            paths[i].ms.push_back(ms);
            paths[i].line.push_back(ms / wire);
        }
        for (int i = 0; i < 3; ++i) paths[i].ratio.push_back(roundMs[i] / roundMs[0]);
        std::printf("round %d: local %.0f ms, TCP %.0f ms (%.4f), UDP %.0f ms (%.4f)\n", round + 1, roundMs[0],
                    roundMs[1], roundMs[1] / roundMs[0], roundMs[2], roundMs[2] / roundMs[0]);
        std::fflush(stdout);
    }
    std::printf("whole read (4810cli read), %d rounds interleaved, medians:\n", runs);
    for (const Path& p : paths)
        std::printf("  %-24s %.0f ms, %.3f x the line's time; / local %.4f\n", p.name, Median(p.ms), Median(p.line),
                    Median(p.ratio));
    std::printf("HART-IP / local, median of %d rounds: TCP %.4f, UDP %.4f\n", runs, Median(paths[1].ratio),
                Median(paths[2].ratio));
    const int udp = Connect(true, port);
    if (Exchange(udp, Initiate(1)).header.status != status::kSuccess) Die("initiate");

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
