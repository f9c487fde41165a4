// How fast korvel4810-sim answers, measured by a raw master on the pseudo-terminal:
//  - paced: from the end of the request on the line (the simulator hears it when its last character
//    would have arrived at 1200 baud: 11 characters after it was written) to the answer's first byte
//    (the turnaround plus one character), and to its last byte against the answer's wire time;
//  - unpaced: the whole exchange.
// Ratios are against the line: 11 bits at 1200 baud = 9.167 ms a character.
//
//   sim_latency_bench [--paced N] [--unpaced N] [--check]
// --check makes the exit status 1 when the paced first byte is 30 ms or later at the 99th
// percentile, or an unpaced exchange takes 2 ms or more at the 99th percentile.
#include "zelhart/platform/serial_port.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/line_engine.h"
#include "zelhart/sim/sim_process.h"
#include "zelhart/sim/text_numbers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;
using namespace zelhart;

const uint8_t kIdentityRequest[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB};
constexpr size_t kAnswerBytes = 24; // five preambles and the 19 bytes of the identity answer

struct Sample {
    double firstByteMs;
    double exchangeMs;
};

class TempRuntime {
public:
    TempRuntime() {
        std::string t = (std::filesystem::temp_directory_path() / "zelhart-bench-XXXXXX").string();
        if (::mkdtemp(t.data())) path_ = t;
    }
    ~TempRuntime() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::optional<Sample> Exchange(int fd, bool pace) {
    uint8_t buf[64];
    while (::read(fd, buf, sizeof buf) > 0) { // nothing stale
    }
    if (::write(fd, kIdentityRequest, sizeof kIdentityRequest) != ssize_t(sizeof kIdentityRequest)) return std::nullopt;
    // Paced, the request is on the line for its 11 characters; unpaced, it arrives at once.
    const auto onLine = static_cast<int64_t>(sizeof kIdentityRequest) * sim::kCharacterTime;
    auto sent = Clock::now() + (pace ? Clock::duration(onLine) : Clock::duration(0));
    std::optional<Clock::time_point> first;
    size_t got = 0;
    while (got < kAnswerBytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return std::nullopt;
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, kAnswerBytes - got));
        if (n <= 0) continue;
        if (!first) first = Clock::now();
        got += size_t(n);
    }
    auto done = Clock::now();
    return Sample{Ms(*first - sent).count(), Ms(done - sent).count()};
}

std::optional<std::vector<Sample>> Run(const std::string& runtime, int port, bool pace, int count) {
    sim::SimProcess process;
    std::vector<std::string> args = {"--port", std::to_string(port)};
    if (!pace) args.push_back("--no-pace");
    if (auto e = process.Start(runtime, args); !e.empty()) {
        std::fprintf(stderr, "%s\n", e.c_str());
        return std::nullopt;
    }
    platform::ExclusiveSerialPort serial;
    if (serial.Open(process.portPath()) != 0) return std::nullopt;
    termios t{};
    ::tcgetattr(serial.fd(), &t);
    ::cfmakeraw(&t);
    ::tcsetattr(serial.fd(), TCSANOW, &t);
    std::vector<Sample> samples;
    for (int i = 0; i < count; ++i) {
        auto s = Exchange(serial.fd(), pace);
        if (!s) {
            std::fprintf(stderr, "no answer to exchange %d\n", i);
            return std::nullopt;
        }
        samples.push_back(*s);
    }
    process.Stop();
    return samples;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size() - 1) + 0.5));
    return v[i];
}

struct Stats {
    double p50, p99, max;
};

Stats Summarise(const std::vector<Sample>& samples, double Sample::*field) {
    std::vector<double> v;
    for (const auto& s : samples) v.push_back(s.*field);
    return {Percentile(v, 50), Percentile(v, 99), *std::max_element(v.begin(), v.end())};
}

void Print(const char* what, Stats s, double unitMs, const char* unit) {
    std::printf("%-34s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms   p99 = %.4g x %s\n", what, s.p50, s.p99, s.max,
                s.p99 / unitMs, unit);
}

} // namespace

int main(int argc, char** argv) {
    int paced = 100, unpaced = 2000;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--paced" || a == "--unpaced") && i + 1 < argc) {
            auto n = sim::ParseUnsigned(argv[++i], 1000000);
            if (!n || *n == 0) {
                std::fprintf(stderr, "%s takes a count 1..1000000\n", a.c_str());
                return 2;
            }
            (a == "--paced" ? paced : unpaced) = int(*n);
        } else if (a == "--check") {
            check = true;
        } else {
            std::fprintf(stderr, "usage: sim_latency_bench [--paced N] [--unpaced N] [--check]\n");
            return 2;
        }
    }
    TempRuntime runtime;
    if (runtime.path().empty()) return 1;
    const double charMs = Ms(sim::kCharacterTime).count();
    const double wireMs = charMs * kAnswerBytes;

    auto pacedSamples = Run(runtime.path(), 1, true, paced);
    auto unpacedSamples = Run(runtime.path(), 2, false, unpaced);
    if (!pacedSamples || !unpacedSamples) return 1;

    std::printf("identity exchange, answer of %zu characters: wire time %.3f ms (%.3f ms a character)\n",
                kAnswerBytes, wireMs, charMs);
    std::printf("paced, %d exchanges:\n", paced);
    Stats first = Summarise(*pacedSamples, &Sample::firstByteMs);
    Stats whole = Summarise(*pacedSamples, &Sample::exchangeMs);
    Print("  request end -> first answer byte", first, charMs, "character time");
    Print("  request end -> last answer byte", whole, wireMs, "wire time");
    std::printf("unpaced, %d exchanges:\n", unpaced);
    Stats fast = Summarise(*unpacedSamples, &Sample::exchangeMs);
    Print("  whole exchange", fast, wireMs, "wire time");

    if (check && (first.p99 >= 30.0 || fast.p99 >= 2.0)) {
        std::printf("limits exceeded (paced first byte p99 < 30 ms, unpaced exchange p99 < 2 ms)\n");
        return 1;
    }
    return 0;
}
