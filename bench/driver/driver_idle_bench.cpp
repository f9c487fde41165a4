// What an idle ZelHartDriver costs: CPU and resident memory of the daemon with HART devices open on
// simulators at the real line rate, each with a read waiting as the interface library keeps one.
//
//   driver_idle_bench [--ports 16] [--seconds 10]
#include "bench_support.h"
#include "zelhart/sim/sim_process.h"

#include <thread>

using namespace zelhart;
using namespace zelhart::bench;

int main(int argc, char** argv) {
    long ports = 16, seconds = 10;
    if (!ParseArgs(argc, argv, {{"--ports", &ports}, {"--seconds", &seconds}})) return 2;

    BenchDir dir;
    std::vector<std::unique_ptr<sim::SimProcess>> sims;
    for (long p = 1; p <= ports; ++p) {
        auto sim = std::make_unique<sim::SimProcess>();
        if (auto e = sim->Start(dir.path(), {"--port", std::to_string(100 + p)}); !e.empty()) {
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
    pid_t pid = daemon.process().pid();
    auto function = OpenFunctionDevice();
    struct Device {
        std::unique_ptr<DeviceFile> file;
        Event readDone;
        Overlapped readOv{};
        uint8_t buffer[300];
    };
    std::vector<std::unique_ptr<Device>> devices;
    for (long p = 1; p <= ports; ++p) {
        auto d = std::make_unique<Device>();
        d->file = OpenHart(static_cast<int>(100 + p));
        if (!d->file || !Configure(*d->file)) {
            std::fprintf(stderr, "cannot open HART device %ld\n", 100 + p);
            return 1;
        }
        // One exchange shows the device works; then a read stays waiting.
        Event writeDone;
        Overlapped writeOv{};
        writeOv.hEvent = &writeDone;
        d->readOv.hEvent = &d->readDone;
        Bytes request = ShortRequest(0);
        d->file->Read(d->buffer, sizeof d->buffer, nullptr, &d->readOv);
        d->file->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr, &writeOv);
        if (Await(*d->file, writeOv, 5000) != STATUS_SUCCESS ||
            Await(*d->file, d->readOv, 5000) != STATUS_SUCCESS) {
            std::fprintf(stderr, "HART device %ld did not answer\n", 100 + p);
            return 1;
        }
        d->readOv = Overlapped{};
        d->readOv.hEvent = &d->readDone;
        d->readDone.Reset();
        d->file->Read(d->buffer, sizeof d->buffer, nullptr, &d->readOv);
        devices.push_back(std::move(d));
    }

    std::this_thread::sleep_for(1s); // bus restarts and the last replies settle
    double cpu0 = ProcessCpuSeconds(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpu1 = ProcessCpuSeconds(pid);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double percent = 100.0 * (cpu1 - cpu0) / wall;
    long rss = ProcessStatusKb(pid, "VmRSS:"), hwm = ProcessStatusKb(pid, "VmHWM:");
    std::printf(
        "driver_idle_bench: %ld open HART devices on simulators at 1200 baud, a read waiting on each\n",
        ports);
    std::printf("  daemon CPU over %.1f s: %.3f%% of one core (target < 1%%)\n", wall, percent);
    std::printf("  daemon resident memory: %.1f MB, peak %.1f MB (target < 20 MB)\n", rss / 1024.0,
                hwm / 1024.0);

    for (auto& d : devices) {
        d->file->CancelIoEx(&d->readOv);
        platform::iomgr::WaitForSingleEvent(d->readDone, 5000);
        d->file->GetOverlappedResult(&d->readOv, nullptr, false);
    }
    return percent < 1.0 && rss < 20 * 1024 ? 0 : 1;
}
