// The time ZelHartDriver adds between the last character of a reply arriving on the port and the
// waiting read completing in the client.
//
// The benchmark is the slave itself: it holds the master side of a pseudo-terminal registered as
// COM1 and answers each request. All of the reply but its last character goes out first (paced at
// the line rate with --paced, at once otherwise, followed by a pause in which the daemon takes them
// in); then the last character is written and the clock runs until the client's read completes.
//
//   driver_latency_bench [--count N] [--paced 1]
#include "bench_support.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <thread>

using namespace zelhart;
using namespace zelhart::bench;

namespace {

// The identity reply of a slave at polling address 0 to a primary master, with five preambles.
Bytes IdentityReply() {
    Bytes body{0x06, 0x80, 0x00, 0x0E, 0x00, 0x00, 254, 153, 252, 5, 5, 1, 3, 0x10, 0x00, 0x3A, 0x5F, 0x21};
    uint8_t check = 0;
    for (uint8_t b : body)
        check ^= b;
    body.push_back(check);
    Bytes frame(5, 0xFF);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

bool ReceiveRequest(int master, size_t length) {
    size_t got = 0;
    auto deadline = Clock::now() + 3s;
    while (got < length && Clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        uint8_t buf[64];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return got >= length;
}

} // namespace

int main(int argc, char** argv) {
    long count = 200, paced = 0;
    if (!ParseArgs(argc, argv, {{"--count", &count}, {"--paced", &paced}})) return 2;

    BenchDir dir;
    platform::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return 1;
    std::string path = ::ptsname(master.get());
    platform::UniqueFd keep(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    platform::MakeDirs(dir.path() + "/ports");
    platform::RegisterComPort(dir.path() + "/ports", 1, path);

    hartdriver::DaemonProcess daemon;
    if (auto e = StartDaemon(daemon, dir.path()); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    auto function = OpenFunctionDevice();
    auto hart = OpenHart(1);
    if (!function || !hart || !Configure(*hart)) {
        std::fprintf(stderr, "cannot open the HART device\n");
        return 1;
    }

    const Bytes request = ShortRequest(0), reply = IdentityReply();
    const Bytes expected(reply.begin() + 5, reply.end());
    std::vector<double> latencies;
    int failures = 0;
    for (long i = 0; i < count; ++i) {
        Event readDone, writeDone;
        Overlapped readOv{}, writeOv{};
        readOv.hEvent = &readDone;
        writeOv.hEvent = &writeDone;
        uint8_t buffer[300];
        hart->Read(buffer, sizeof buffer, nullptr, &readOv);
        hart->Write(request.data(), static_cast<uint32_t>(request.size()), nullptr, &writeOv);
        if (!ReceiveRequest(master.get(), request.size())) {
            std::fprintf(stderr, "request %ld never reached the port\n", i);
            return 1;
        }
        std::this_thread::sleep_for(5ms); // the slave's turnaround
        auto next = Clock::now();
        for (size_t k = 0; k + 1 < reply.size(); ++k) {
            if (paced) {
                next += std::chrono::microseconds(static_cast<long>(kCharMs * 1000));
                std::this_thread::sleep_until(next);
            }
            (void)!::write(master.get(), &reply[k], 1);
        }
        // The daemon takes in what came so far; then the last character. Unpaced, the pause stays well
        // under the receive gap (GAP = 3 ticks: 20 to 30 ms of silence, as the 10 ms grid falls).
        std::this_thread::sleep_for(paced ? std::chrono::microseconds(static_cast<long>(kCharMs * 1000))
                                          : 5ms);
        auto sent = Clock::now();
        (void)!::write(master.get(), &reply.back(), 1);
        uint32_t got = 0;
        NTSTATUS status = Await(*hart, readOv, 5000, &got);
        auto done = Clock::now();
        NTSTATUS writeStatus = Await(*hart, writeOv, 5000);
        if (status != STATUS_SUCCESS || writeStatus != STATUS_SUCCESS || got != expected.size() ||
            !std::equal(expected.begin(), expected.end(), buffer)) {
            ++failures;
            continue;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(done - sent).count());
    }
    double median = Percentile(latencies, 50), p99 = Percentile(latencies, 99);
    std::printf("driver_latency_bench: %zu exchanges (%s), %d failed\n", latencies.size(),
                paced ? "reply paced at 1200 baud" : "reply unpaced", failures);
    std::printf("  last reply character -> read completed in the client:\n");
    std::printf("    median %.3f ms (%.3f characters at 1200 baud; target < 2 ms)\n", median,
                median / kCharMs);
    std::printf("    p90    %.3f ms\n", Percentile(latencies, 90));
    std::printf("    p99    %.3f ms (%.3f characters; target < 10 ms)\n", p99, p99 / kCharMs);
    std::printf("    max    %.3f ms\n", Percentile(latencies, 100));
    return failures == 0 && median < 2.0 && p99 < 10.0 ? 0 : 1;
}
