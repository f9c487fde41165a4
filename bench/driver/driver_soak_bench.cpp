// Many simulators at the real line rate, each with a client doing back-to-back identity exchanges
// through ZelHartDriver: every reply must come, and come to the client of its own port.
//
// Each simulator has its own device identifier (from a state file), so a reply that reached the
// client of another port would show. Each client keeps one read waiting and writes one frame at a
// time, as the interface library does.
//
//   driver_soak_bench [--ports 32] [--seconds 60]
#include "bench_support.h"
#include "zelhart/sim/sim_process.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace zelhart;
using namespace zelhart::bench;

namespace {

constexpr int kFirstPort = 201;
constexpr uint32_t kFirstDeviceId = 0x100000;

struct PortResult {
    long exchanges = 0;
    long lost = 0;         // no reply, or the write failed
    long misdelivered = 0; // a reply with another port's device identifier
    long damaged = 0;      // a reply that is no sound identity reply
    double busyMs = 0;     // sum of exchange times
};

// Back-to-back exchanges on COM<port> until `deadline`.
PortResult RunClient(int port, uint32_t deviceId, Clock::time_point deadline) {
    PortResult r;
    auto hart = OpenHart(port);
    if (!hart || !Configure(*hart)) {
        r.lost = 1;
        return r;
    }
    const Bytes request = ShortRequest(0);
    while (Clock::now() < deadline) {
        Event readDone, writeDone;
        Overlapped readOv{}, writeOv{};
        readOv.hEvent = &readDone;
        writeOv.hEvent = &writeDone;
        uint8_t buffer[300];
        auto start = Clock::now();
        hart->Read(buffer, sizeof buffer, nullptr, &readOv);
        hart->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr, &writeOv);
        NTSTATUS written = Await(*hart, writeOv, 10000);
        uint32_t got = 0;
        NTSTATUS read = Await(*hart, readOv, written == STATUS_SUCCESS ? 5000 : 1, &got);
        r.busyMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ++r.exchanges;
        if (written != STATUS_SUCCESS || read != STATUS_SUCCESS) {
            ++r.lost;
            continue;
        }
        uint8_t check = 0;
        for (uint32_t i = 0; i < got; ++i)
            check ^= buffer[i];
        if (got != 19 || buffer[0] != 0x06 || buffer[2] != 0x00 || buffer[6] != 254 || check != 0) {
            ++r.damaged;
            continue;
        }
        uint32_t id = (uint32_t(buffer[15]) << 16) | (uint32_t(buffer[16]) << 8) | buffer[17];
        if (id != deviceId) ++r.misdelivered;
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    long ports = 32, seconds = 60;
    if (!ParseArgs(argc, argv, {{"--ports", &ports}, {"--seconds", &seconds}})) return 2;

    BenchDir dir;
    std::vector<std::unique_ptr<sim::SimProcess>> sims;
    for (long p = 0; p < ports; ++p) {
        std::string state = dir.path() + "/sim" + std::to_string(p) + ".state";
        std::ofstream(state) << "format = 1\ndevice_id = " << (kFirstDeviceId + p) << "\n";
        auto sim = std::make_unique<sim::SimProcess>();
        if (auto e = sim->Start(dir.path(), {"--port", std::to_string(kFirstPort + p), "--state", state});
            !e.empty()) {
            std::fprintf(stderr, "%s\n", e.c_str());
            return 1;
        }
        sims.push_back(std::move(sim));
    }
    hartdriver::DaemonProcess daemon;
    if (auto e = StartDaemon(daemon, dir.path()); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    auto function = OpenFunctionDevice();
    if (!function) return 1;

    pid_t pid = daemon.process().pid();
    double cpu0 = ProcessCpuSeconds(pid);
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::vector<PortResult> results(static_cast<size_t>(ports));
    std::vector<std::thread> clients;
    for (long p = 0; p < ports; ++p)
        clients.emplace_back([&, p] {
            results[static_cast<size_t>(p)] = RunClient(kFirstPort + static_cast<int>(p),
                                                        kFirstDeviceId + static_cast<uint32_t>(p), deadline);
        });
    for (auto& t : clients)
        t.join();
    double cpuPercent = 100.0 * (ProcessCpuSeconds(pid) - cpu0) / static_cast<double>(seconds);

    PortResult total;
    for (const auto& r : results) {
        total.exchanges += r.exchanges;
        total.lost += r.lost;
        total.misdelivered += r.misdelivered;
        total.damaged += r.damaged;
        total.busyMs += r.busyMs;
    }
    // The simulator paces its reply at the line rate (5 preambles and 19 bytes); a pseudo-terminal
    // takes the request at once, where a real line would spend 10 characters on it.
    const double replyMs = 24 * kCharMs, turnaroundMs = 5, rt2Ms = 80;
    const double floorMs = replyMs + turnaroundMs + rt2Ms;
    double meanMs = total.exchanges ? total.busyMs / static_cast<double>(total.exchanges) : 0;
    std::printf("driver_soak_bench: %ld simulators at 1200 baud, %ld s of back-to-back identity exchanges\n",
                ports, seconds);
    std::printf("  exchanges %ld (%.2f per port and second)\n", total.exchanges,
                static_cast<double>(total.exchanges) / static_cast<double>(ports * seconds));
    std::printf("  lost %ld, misdelivered %ld, damaged %ld\n", total.lost, total.misdelivered, total.damaged);
    std::printf(
        "  mean exchange %.1f ms = %.3f x the %.1f ms the line and the protocol take (reply %.1f ms =\n"
        "  24 characters, the slave's turnaround %.0f ms, the bus-busy wait RT2 %.0f ms)\n",
        meanMs, meanMs / floorMs, floorMs, replyMs, turnaroundMs, rt2Ms);
    std::printf("  daemon CPU %.2f%% of one core\n", cpuPercent);
    return total.exchanges > 0 && total.lost == 0 && total.misdelivered == 0 && total.damaged == 0 ? 0 : 1;
}
