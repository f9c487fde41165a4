// zelhart-hartipd at scale: N paced simulators on COM(256-N)..COM255, each a port of the daemon, served
// by one zelhart-hartipd as N endpoints to N HART-IP sessions on loopback, each session polling its own
// transmitter (command 0) back to back. Every exchange must be answered, by its own port's transmitter
// (each simulator has its own device identifier). First every session is opened and left idle (the
// server's CPU then, and its memory per session), then every session exchanges for --seconds.
//
//   hartip_scale_bench [--ports 64] [--seconds 60] [--idle-seconds 10] [--udp]
#include "bench_support.h"
#include "zelhart/hartip/message.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>

using namespace zelhart;
using namespace zelhart::bench;
using namespace zelhart::hartip;

namespace {

constexpr uint32_t kFirstDeviceId = 0x200000;
constexpr int kHighestPort = 255;
constexpr int kAnswerWaitMs = 10000; // far beyond one exchange with every retry of the server's line

struct Session {
    int com = 0;
    std::uint16_t port = 0;
    uint32_t deviceId = 0;
    bool udp = true;
    int fd = -1;
    std::uint16_t sequence = 0;
    StreamReassembler stream;
    long exchanges = 0, lost = 0, refused = 0, misdelivered = 0, damaged = 0;
    std::vector<double> exchangeMs;

    ~Session() {
        if (fd >= 0) ::close(fd);
    }
    void ResetCounts() {
        exchanges = lost = refused = misdelivered = damaged = 0;
        exchangeMs.clear();
    }
    bool Connect() {
        fd = ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        if (!udp) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    // Sends a message of `id` with `body`; the reply repeating its sequence number, or none in time.
    std::optional<Message> Exchange(MessageId id, const Bytes& body) {
        const Bytes request = Encode(Header{1, 0, std::uint8_t(id), 0, ++sequence, 0}, body);
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return std::nullopt;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
        for (;;) {
            if (!udp)
                if (auto whole = stream.Next()) {
                    Message m;
                    if (Decode(*whole, m) == DecodeError::None && m.header.sequence == sequence) return m;
                    continue;
                }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left)) != 1) return std::nullopt;
            std::uint8_t buffer[kMaxMessageSize];
            const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return std::nullopt;
            if (udp) {
                Message m;
                if (Decode(std::span(buffer, size_t(n)), m) == DecodeError::None && m.header.sequence == sequence)
                    return m;
            } else {
                stream.Feed(std::span(buffer, size_t(n)));
            }
        }
    }
    bool Initiate() {
        const auto body = EncodeSessionInitiate({1, 600000});
        const auto reply = Exchange(MessageId::SessionInitiate, Bytes(body.begin(), body.end()));
        return reply && reply->header.status == status::kSuccess;
    }
    // Command 0 to polling address 0 as a token-passing PDU: true when the transmitter answered.
    bool Poll() {
        static const Bytes command0 = [] {
            Bytes f{0x02, 0x80, 0x00, 0x00};
            f.push_back(CheckByte(f));
            return f;
        }();
        const auto start = Clock::now();
        const auto reply = Exchange(MessageId::TokenPassingPdu, command0);
        exchangeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        ++exchanges;
        if (!reply) return ++lost, false;
        if (reply->header.status != status::kSuccess) return ++refused, false;
        const Bytes& f = reply->body; // delimiter, address, command, count, 2 status bytes, 13 data, check
        if (f.size() != 19 || f[0] != 0x06 || f[2] != 0x00 || f[6] != 254 || CheckByte(std::span(f).first(18)) != f[18])
            return ++damaged, true;
        const uint32_t id = (uint32_t(f[15]) << 16) | (uint32_t(f[16]) << 8) | f[17];
        if (id != deviceId) ++misdelivered;
        return true;
    }
};

double CpuOver(pid_t pid, long seconds) {
    const double cpu0 = ProcessCpuSeconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 100.0 * (ProcessCpuSeconds(pid) - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    long ports = 64, seconds = 60, idleSeconds = 10;
    bool udp = false;
    std::vector<char*> numeric{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--udp") udp = true;
        else numeric.push_back(argv[i]);
    if (!ParseArgs(int(numeric.size()), numeric.data(),
                   {{"--ports", &ports}, {"--seconds", &seconds}, {"--idle-seconds", &idleSeconds}}))
        return 2;
    if (ports > kHighestPort) {
        std::fprintf(stderr, "--ports: at most %d (COM1..COM%d)\n", kHighestPort, kHighestPort);
        return 2;
    }
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const int firstPort = kHighestPort + 1 - int(ports);

    BenchDir dir;
    std::vector<std::unique_ptr<sim::SimProcess>> sims;
    bool linePriority = true;
    // The simulators' state files (rewritten as the live values move) outside the runtime directory,
    // which the server's interface library watches.
    const std::string states = dir.path() + "/states";
    std::filesystem::create_directories(states);
    for (long p = 0; p < ports; ++p) {
        const std::string state = states + "/sim" + std::to_string(p) + ".state";
        std::ofstream(state) << "format = 1\ndevice_id = " << (kFirstDeviceId + p) << "\n";
        auto sim = std::make_unique<sim::SimProcess>();
        if (auto e = sim->Start(dir.path(), {"--port", std::to_string(firstPort + p), "--state", state}); !e.empty()) {
            std::fprintf(stderr, "simulator %ld: %s\n", p + 1, e.c_str());
            return 1;
        }
        linePriority &= GiveLinePriority(sim->process().pid());
        sims.push_back(std::move(sim));
    }
    hartdriver::DaemonProcess daemon;
    if (auto e = StartDaemon(daemon, dir.path()); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }

    sim::ChildProcess server;
    sim::ChildSpec spec;
    spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
    spec.args = {"--max-sessions", std::to_string(ports)};
    for (long p = 0; p < ports; ++p) spec.args.push_back("COM" + std::to_string(firstPort + p) + "=0");
    spec.captureOutput = true;
    std::string ready;
    if (auto e = server.StartAndAwaitReadyLine(spec, "zelhart-hartipd", 20s, &ready); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    const pid_t pid = server.pid();
    const long rssNone = ProcessStatusKb(pid, "VmRSS:");

    // "COM201=40123 COM202=40124 ...": one session a port, opened, one exchange (the line's open), idle.
    std::vector<std::unique_ptr<Session>> sessions;
    std::istringstream endpoints(ready);
    for (std::string item; endpoints >> item;) {
        auto s = std::make_unique<Session>();
        s->com = std::stoi(item.substr(3));
        s->port = std::uint16_t(std::stoi(item.substr(item.find('=') + 1)));
        s->deviceId = kFirstDeviceId + uint32_t(s->com - firstPort);
        s->udp = udp;
        if (!s->Connect() || !s->Initiate()) {
            std::fprintf(stderr, "no session on COM%d (port %u)\n%s", s->com, s->port, server.Output().c_str());
            return 1;
        }
        sessions.push_back(std::move(s));
    }
    const long rssOpen = ProcessStatusKb(pid, "VmRSS:");
    {
        std::vector<std::thread> warmUp;
        for (auto& s : sessions) warmUp.emplace_back([&s] { s->Poll(); });
        for (auto& t : warmUp) t.join();
    }
    std::this_thread::sleep_for(1s);
    const double idleCpu = CpuOver(pid, idleSeconds);
    for (auto& s : sessions) s->ResetCounts();

    const double cpu0 = ProcessCpuSeconds(pid);
    const auto t0 = Clock::now(), deadline = t0 + std::chrono::seconds(seconds);
    {
        std::vector<std::thread> running;
        for (auto& s : sessions)
            running.emplace_back([&s, deadline] {
                while (Clock::now() < deadline) s->Poll();
            });
        for (auto& t : running) t.join();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double busyCpu = 100.0 * (ProcessCpuSeconds(pid) - cpu0) / wall;

    long exchanges = 0, lost = 0, refused = 0, misdelivered = 0, damaged = 0;
    std::vector<double> all;
    for (const auto& s : sessions) {
        exchanges += s->exchanges, lost += s->lost, refused += s->refused, misdelivered += s->misdelivered;
        damaged += s->damaged;
        all.insert(all.end(), s->exchangeMs.begin(), s->exchangeMs.end());
    }
    double meanMs = 0;
    for (double ms : all) meanMs += ms;
    meanMs = all.empty() ? 0 : meanMs / double(all.size());
    // The line's own time for one exchange, as driver_soak_bench takes it but for the request: the
    // server writes 6 preambles (driver_soak_bench 5) and the daemon sends them as written, so the
    // request is 6 preambles and 5 bytes; the reply 5 preambles and 19 bytes; the transmitter's
    // turnaround and the bus-busy wait RT2 (8 ticks of 10 ms) the master keeps after every reply.
    const double lineMs = (11 + 24) * kCharMs, turnaroundMs = 5, rt2Ms = 80, floorMs = lineMs + turnaroundMs + rt2Ms;
    const double perPort = double(exchanges) / (double(ports) * wall), limit = 1000.0 / floorMs;
    std::printf("hartip_scale_bench: %ld paced simulators (COM%d..COM%d), zelhart-hartipd serving %zu endpoints to "
                "%zu sessions over %s loopback\n",
                ports, firstPort, kHighestPort, sessions.size(), sessions.size(), udp ? "UDP" : "TCP");
    if (!linePriority)
        std::printf("  note: the simulators run without real-time priority (needs root)\n");
    std::printf("  idle, every session open (%ld s): server CPU %.3f%% of one core\n", idleSeconds, idleCpu);
    std::printf("  memory: %.1f MB before any session, %.1f MB with %zu open (%.1f kB a session)\n", rssNone / 1024.0,
                rssOpen / 1024.0, sessions.size(), double(rssOpen - rssNone) / double(sessions.size()));
    std::printf("  exchanging (%.0f s): %ld exchanges, %.3f per port and second; the line's limit %.3f (%.3f of it); "
                "server CPU %.2f%% of one core\n",
                wall, exchanges, perPort, limit, perPort / limit, busyCpu);
    std::printf("  lost %ld (no answer %ld, refused %ld), misdelivered %ld, damaged %ld\n", lost + refused, lost,
                refused, misdelivered, damaged);
    std::printf("  exchange: mean %.1f ms, median %.1f ms, p99 %.1f ms; mean = %.3f x the line's %.1f ms\n"
                "    (request 11 + reply 24 characters %.1f ms, turnaround %.0f ms, bus-busy wait RT2 %.0f ms)\n",
                meanMs, Percentile(all, 50), Percentile(all, 99), meanMs / floorMs, floorMs, lineMs, turnaroundMs,
                rt2Ms);
    server.Terminate();
    daemon.Stop();
    for (auto& s : sims) s->Stop();
    return exchanges > 0 && lost + refused == 0 && misdelivered == 0 && damaged == 0 ? 0 : 1;
}
