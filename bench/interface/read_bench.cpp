// The whole read of a Korvel-4810's configuration (identity and the six read steps, as "4810cli
// read" runs it) through the real stack: 4810cli, libZelHartDriverInterface.so, ZelHartDriver and
// korvel4810-sim on a pseudo-terminal at the real line rate. Each run starts the daemon and the
// simulator on a private runtime directory; the program loads the timing shim, which forwards to the
// real library and logs every call (read_timing.h says how the time is split).
//
//   interface_read_bench [--runs N] [--check MS] [--model SPEC]
//
// --model SPEC: the daemon's port on modelled serial hardware (tests/hardware/uart_model.cpp, for
// example "kind=16550" or "kind=usb,grid=16"): a line rate for what the daemon sends, RTS keying, a
// transmit FIFO, USB burst delivery.
// --check MS: exit status 1 when the remainder (the time our code adds) is MS or more a transaction
// on average over the runs, or when a request had to be sent again. Without it a run fails only when
// the read itself fails. Run it on an otherwise idle machine: the line's timing is real time.
// The data link's times are its defaults (QUIETTIME 34 ticks, so the bus is quiet 370 ms after each
// open), the simulator's turnaround its default 5 ms.
#include "read_timing.h"

#include "zelhart/driver/daemon_process.h"
#include "zelhart/sim/sim_process.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using namespace zelhart;
using bench::Ms;
using Clock = std::chrono::steady_clock;

// The data link's defaults: QUIETTIME 34 ticks plus the 3-tick margin after an open; ticks of 10 ms.
constexpr Ms kQuietAfterOpen{(34 + 3) * 10.0};
constexpr Ms kSimTurnaround{5.0};

class TempDir {
public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "zelhart-read-bench-XXXXXX").string();
        if (::mkdtemp(t.data())) path_ = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    bool valid() const { return !path_.empty(); }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct RunResult {
    std::string error; // empty when the read went through
    bench::ReadTiming timing;
    Ms wall{0};
};

RunResult RunOnce(const std::string& model) {
    RunResult r;
    TempDir dir;
    if (!dir.valid()) return {"no temporary directory", {}, {}};
    const std::string run = dir / "run", etc = dir / "etc", home = dir / "home";
    for (const auto& d : {run, etc, home}) std::filesystem::create_directories(d);

    sim::SimProcess sim;
    // On a number no real port has: the daemon never opens a real UART in the simulator's place.
    if (auto e = sim.Start(run, {"--port", "free", "--log", dir / "frames.log"}); !e.empty())
        return {"korvel4810-sim: " + e, {}, {}};
    hartdriver::DaemonProcess daemon;
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    launch.configDir = etc;
    if (!model.empty()) {
#ifdef ZELHART_UART_MODEL_LIBRARY
        ::setenv("LD_PRELOAD", ZELHART_UART_MODEL_LIBRARY, 1);
        ::setenv("ZELHART_UART_MODEL", model.c_str(), 1);
#else
        return {"this build has no UART model (a sanitizer build)", {}, {}};
#endif
    }
    std::string started = daemon.Start(launch);
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("ZELHART_UART_MODEL");
    if (!started.empty()) return {"ZelHartDriver: " + started, {}, {}};

    sim::ChildSpec cli;
    cli.executable = sim::ExecutableBesideThisProgram("4810cli");
    cli.args = {"--port", sim.comName().substr(3), "read"}; // "COM201" -> "201"
    cli.env = {{"ZELHART_RUNTIME_DIR", run},
               {"ZELHART_CONFIG_DIR", etc},
               {"HOME", home},
               {"XDG_CONFIG_HOME", home},
               {"ZELHART_INTERFACE_LIBRARY", ZELHART_TIMING_SHIM},
               {"ZELHART_TIMING_TARGET", ZELHART_INTERFACE_LIBRARY_PATH},
               {"ZELHART_TIMING_LOG", dir / "calls.log"}};
    cli.captureOutput = true;
    const auto start = Clock::now();
    auto result = sim::RunToExit(cli, std::chrono::seconds(120));
    r.wall = Clock::now() - start;
    if (!result) return {"4810cli read did not end", {}, r.wall};
    if (result->first != 0) return {"4810cli read failed:\n" + result->second, {}, r.wall};

    daemon.Stop();
    sim.Stop(); // the frame log is complete once the simulator has ended
    std::string error;
    auto frames = bench::ParseFrameLog(ReadFile(dir / "frames.log"), &error);
    auto events = bench::ParseShimLog(ReadFile(dir / "calls.log"), &error);
    if (!error.empty()) return {error, {}, r.wall};
    r.timing = bench::AnalyseRead(events, frames, kQuietAfterOpen, kSimTurnaround);
    if (r.timing.transactions.empty()) return {"no transactions in the timing log", {}, r.wall};
    return r;
}

bool ParseNumber(const char* text, int* out) {
    std::string_view s(text);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size() && *out > 0;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 3, check = 0;
    std::string model;
    for (int i = 1; i < argc; ++i) {
        bool ok = i + 1 < argc && ((std::strcmp(argv[i], "--runs") == 0 && ParseNumber(argv[i + 1], &runs)) ||
                                   (std::strcmp(argv[i], "--check") == 0 && ParseNumber(argv[i + 1], &check)));
        if (!ok && i + 1 < argc && std::strcmp(argv[i], "--model") == 0 && argv[i + 1][0] != '\0') {
            model = argv[i + 1];
            ok = true;
        }
        if (!ok) {
            std::fprintf(stderr, "usage: interface_read_bench [--runs N] [--check MS] [--model SPEC]\n");
            return 2;
        }
        ++i;
    }
    Ms remainderSum{0};
    size_t transactions = 0;
    for (int run = 1; run <= runs; ++run) {
        RunResult r = RunOnce(model);
        if (!r.error.empty()) {
            std::fprintf(stderr, "run %d: %s\n", run, r.error.c_str());
            return 1;
        }
        std::printf("run %d of %d\n%s\n", run, runs, bench::FormatReport(r.timing, r.wall).c_str());
        std::fflush(stdout);
        // Repeated frames (the data link's retries) put their time in the remainder: a measurement
        // with --check fails on them, a plain run reports them.
        if (!r.timing.framesMatch && check > 0) {
            std::fprintf(stderr, "run %d: the line carried other frames than one exchange a transaction\n", run);
            return 1;
        }
        for (const auto& t : r.timing.transactions) remainderSum += t.Remainder();
        transactions += r.timing.transactions.size();
    }
    const Ms mean = remainderSum / double(transactions);
    std::printf("over %d runs: remainder %.1f ms a transaction on average\n", runs, mean.count());
    if (check > 0 && mean >= Ms(check)) {
        std::fprintf(stderr, "remainder %.1f ms a transaction: not under %d ms\n", mean.count(), check);
        return 1;
    }
    return 0;
}
