// Many simulators at the real line rate, each with a client doing back-to-back identity exchanges
// through ZelHartDriver: every reply must come, and come to the client of its own port. The scale
// measurement of the daemon: run it with --ports 1, 16, 64 and 255.
//
// Each simulator has its own device identifier (from a state file), so a reply that reached the
// client of another port would show. Each client keeps one read waiting and writes one frame at a
// time, as the interface library does. First every device is opened and left idle with a read
// waiting (--idle-seconds), then every client exchanges (--seconds). Every lost exchange is listed
// with its cause, from the client's results and the simulator's time-stamped frame log.
//
//   driver_soak_bench [--ports 32] [--seconds 60] [--idle-seconds 10] [--debug-level MASK]
#include "bench_support.h"
#include "loss_causes.h"
#include "zelhart/sim/sim_process.h"

#include <atomic>
#include <sys/resource.h>
#include <thread>

using namespace zelhart;
using namespace zelhart::bench;

namespace {

constexpr uint32_t kFirstDeviceId = 0x100000;
constexpr int kHighestPort = 255; // COM1..COM255
constexpr uint32_t kWriteWaitMs = 10000;
// Longer than one attempt: the request, the longest answer wait and the bus-busy wait (a retry).
constexpr double kSlowExchangeMs = 800;

struct PortResult {
    std::vector<LostExchange> losses;
    std::vector<LostExchange> slow; // answered, but only after more than one attempt's time
    std::vector<double> exchangeMs;
    long exchanges = 0;
    long misdelivered = 0; // a reply with another port's device identifier
    long damaged = 0;      // a reply that is no sound identity reply
};

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Client {
    int port = 0;
    uint32_t deviceId = 0;
    std::unique_ptr<DeviceFile> file;
    Event readDone;
    Overlapped readOv{};
    uint8_t buffer[300];
    PortResult result;

    void StartRead() {
        readOv = Overlapped{};
        readOv.hEvent = &readDone;
        readDone.Reset();
        file->Read(buffer, sizeof buffer, nullptr, &readOv);
    }

    // One exchange with the read already waiting; false when it was lost.
    bool Exchange() {
        static const Bytes request = ShortRequest(0);
        Event writeDone;
        Overlapped writeOv{};
        writeOv.hEvent = &writeDone;
        const auto start = Clock::now();
        file->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr, &writeOv);
        NTSTATUS written = Await(*file, writeOv, kWriteWaitMs);
        uint32_t got = 0;
        NTSTATUS read = Await(*file, readOv, written == STATUS_SUCCESS ? 5000 : 1, &got);
        const auto end = Clock::now();
        ++result.exchanges;
        const double ms = std::chrono::duration<double, std::milli>(end - start).count();
        result.exchangeMs.push_back(ms);
        if (ms > kSlowExchangeMs && result.slow.size() < 100)
            result.slow.push_back({port, Seconds(start), Seconds(end), unsigned(written), unsigned(read), false});
        if (written != STATUS_SUCCESS || read != STATUS_SUCCESS) {
            result.losses.push_back({port, Seconds(start), Seconds(end), unsigned(written), unsigned(read),
                                     written == STATUS_TIMEOUT});
            return false;
        }
        uint8_t check = 0;
        for (uint32_t i = 0; i < got; ++i) check ^= buffer[i];
        if (got != 19 || buffer[0] != 0x06 || buffer[2] != 0x00 || buffer[6] != 254 || check != 0) {
            ++result.damaged;
        } else {
            uint32_t id = (uint32_t(buffer[15]) << 16) | (uint32_t(buffer[16]) << 8) | buffer[17];
            if (id != deviceId) ++result.misdelivered;
        }
        return true;
    }

    void Run(Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            Exchange();
            StartRead();
        }
        file->CancelIoEx(&readOv);
        platform::iomgr::WaitForSingleEvent(readDone, 5000);
        file->GetOverlappedResult(&readOv, nullptr, false);
    }
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
}

long CountDescriptors(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// CPU of `pid` in % of one core over `seconds` of sleep.
double CpuOver(pid_t pid, long seconds) {
    double cpu0 = ProcessCpuSeconds(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 100.0 * (ProcessCpuSeconds(pid) - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    long ports = 32, seconds = 60, idleSeconds = 10, debugLevel = 0;
    if (!ParseArgs(argc, argv, {{"--ports", &ports}, {"--seconds", &seconds}, {"--idle-seconds", &idleSeconds},
                                {"--debug-level", &debugLevel}}))
        return 2;
    if (ports > kHighestPort) {
        std::fprintf(stderr, "--ports: at most %d (COM1..COM%d)\n", kHighestPort, kHighestPort);
        return 2;
    }
    // Each port costs this process a connection, events and a receiving thread's descriptors.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const int firstPort = kHighestPort + 1 - static_cast<int>(ports);

    BenchDir dir;
    if (debugLevel) {
        char line[64];
        std::snprintf(line, sizeof line, "\"DebugLevel\"=dword:%08lx\n", debugLevel);
        hartdriver::WriteServiceKey(dir.path(), line);
    }
    auto logOf = [&](long p) { return dir.path() + "/sim" + std::to_string(p) + ".log"; };
    std::vector<std::unique_ptr<sim::SimProcess>> sims;
    bool linePriority = true;
    for (long p = 0; p < ports; ++p) {
        std::string state = dir.path() + "/sim" + std::to_string(p) + ".state";
        std::ofstream(state) << "format = 1\ndevice_id = " << (kFirstDeviceId + p) << "\n";
        auto sim = std::make_unique<sim::SimProcess>();
        if (auto e = sim->Start(dir.path(), {"--port", std::to_string(firstPort + p), "--state", state, "--log",
                                             logOf(p), "--log-times"});
            !e.empty()) {
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
    const pid_t pid = daemon.process().pid();
    const long rssStart = ProcessStatusKb(pid, "VmRSS:");
    auto function = OpenFunctionDevice();
    if (!function) return 1;

    // Every device opened, configured, one exchange, then idle with a read waiting.
    std::vector<std::unique_ptr<Client>> clients;
    for (long p = 0; p < ports; ++p) {
        auto c = std::make_unique<Client>();
        c->port = firstPort + static_cast<int>(p);
        c->deviceId = kFirstDeviceId + static_cast<uint32_t>(p);
        c->file = OpenHart(c->port);
        if (!c->file || !Configure(*c->file)) {
            std::fprintf(stderr, "cannot open the HART device of COM%d\n", c->port);
            return 1;
        }
        clients.push_back(std::move(c));
    }
    {
        std::vector<std::thread> warmUp;
        for (auto& c : clients)
            warmUp.emplace_back([&c] {
                c->StartRead();
                c->Exchange();
                c->StartRead();
            });
        for (auto& t : warmUp) t.join();
    }
    std::this_thread::sleep_for(1s); // the last bus-busy waits run out
    const double idleCpu = CpuOver(pid, idleSeconds);
    const long rssOpen = ProcessStatusKb(pid, "VmRSS:"), fdsOpen = CountDescriptors(pid);

    // Back-to-back exchanges on every port.
    for (auto& c : clients) c->result = PortResult{};
    const double cpu0 = ProcessCpuSeconds(pid);
    const auto t0 = Clock::now(), deadline = t0 + std::chrono::seconds(seconds);
    {
        std::vector<std::thread> running;
        for (auto& c : clients) running.emplace_back([&c, deadline] { c->Run(deadline); });
        for (auto& t : running) t.join();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double busyCpu = 100.0 * (ProcessCpuSeconds(pid) - cpu0) / wall;
    const long rssBusy = ProcessStatusKb(pid, "VmRSS:"), hwm = ProcessStatusKb(pid, "VmHWM:");

    PortResult total;
    std::vector<LostExchange> losses, slow;
    for (const auto& c : clients) {
        const PortResult& r = c->result;
        total.exchanges += r.exchanges;
        total.misdelivered += r.misdelivered;
        total.damaged += r.damaged;
        total.exchangeMs.insert(total.exchangeMs.end(), r.exchangeMs.begin(), r.exchangeMs.end());
        losses.insert(losses.end(), r.losses.begin(), r.losses.end());
        slow.insert(slow.end(), r.slow.begin(), r.slow.end());
    }
    // The line's own time for one exchange: the request (5 preambles and 5 bytes) and the reply
    // (5 preambles and 19 bytes) at 11 bits a character, the slave's turnaround, and the bus-busy wait
    // RT2 (8 ticks of 10 ms) the master keeps after every reply before it may send again.
    const double lineMs = (10 + 24) * kCharMs, turnaroundMs = 5, rt2Ms = 80;
    const double floorMs = lineMs + turnaroundMs + rt2Ms;
    double meanMs = 0;
    for (double ms : total.exchangeMs) meanMs += ms;
    meanMs = total.exchangeMs.empty() ? 0 : meanMs / double(total.exchangeMs.size());
    std::printf("driver_soak_bench: %ld simulators at 1200 baud (COM%d..COM%d), one client exchanging on each\n",
                ports, firstPort, kHighestPort);
    if (!linePriority)
        std::printf("  note: the simulators run without real-time priority (needs root): a loaded machine may pause "
                    "them inside an answer\n");
    std::printf("  idle, every device open with a read waiting (%ld s): daemon CPU %.3f%% of one core\n", idleSeconds,
                idleCpu);
    std::printf("  exchanging (%.0f s): %ld exchanges (%.2f per port and second), daemon CPU %.2f%% of one core "
                "(%.3f%% a port)\n",
                wall, total.exchanges, double(total.exchanges) / (double(ports) * wall), busyCpu,
                busyCpu / double(ports));
    std::printf("  lost %zu, misdelivered %ld, damaged %ld\n", losses.size(), total.misdelivered, total.damaged);
    std::printf("  exchange: mean %.1f ms, median %.1f ms, p99 %.1f ms; mean = %.3f x the line's %.1f ms\n"
                "    (request 10 + reply 24 characters %.1f ms, turnaround %.0f ms, bus-busy wait RT2 %.0f ms)\n",
                meanMs, Percentile(total.exchangeMs, 50), Percentile(total.exchangeMs, 99), meanMs / floorMs, floorMs,
                lineMs, turnaroundMs, rt2Ms);
    std::printf("  daemon memory: %.1f MB before any open, %.1f MB all open (%.1f kB a port), %.1f MB after "
                "exchanging, peak %.1f MB; %ld descriptors all open\n",
                rssStart / 1024.0, rssOpen / 1024.0, double(rssOpen - rssStart) / double(ports), rssBusy / 1024.0,
                hwm / 1024.0, fdsOpen);
    for (const LostExchange& l : losses) {
        const LineView line = ViewLine(ReadLines(logOf(l.port - firstPort)), l.start, l.end);
        std::printf("  lost on COM%d at %.3f s (%.0f ms): %s\n", l.port, l.start - Seconds(t0),
                    1000 * (l.end - l.start), LossCause(l, line, 30).c_str());
    }
    // Exchanges that needed another attempt: what the line shows of the first few.
    std::printf("  answered only after another attempt (over %.0f ms): %zu\n", kSlowExchangeMs, slow.size());
    for (size_t i = 0; i < slow.size() && i < 10; ++i) {
        const LostExchange& l = slow[i];
        const LineView line = ViewLine(ReadLines(logOf(l.port - firstPort)), l.start, l.end);
        std::printf("    COM%d at %.3f s (%.0f ms): %d requests, %d answers on the line%s\n", l.port,
                    l.start - Seconds(t0), 1000 * (l.end - l.start), line.requests, line.answers,
                    line.lateMs >= 20 ? ", the simulator's output held up" : "");
        if (std::getenv("BENCH_SHOW_LINE") && i < 3)
            for (const std::string& text : ReadLines(logOf(l.port - firstPort))) {
                const double t = std::atof(text.c_str());
                if (t >= l.start - 0.5 && t <= l.end) std::printf("      %+8.1f ms %s\n", 1000 * (t - l.start), text.c_str());
            }
    }
    if (const char* keep = std::getenv("BENCH_DAEMON_LOG")) std::ofstream(keep) << daemon.Output();
    return total.exchanges > 0 && losses.empty() && total.misdelivered == 0 && total.damaged == 0 ? 0 : 1;
}
