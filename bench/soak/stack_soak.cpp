// The whole stack under faults and restarts for half an hour (a documented command, not in ctest):
// four paced simulators injecting faults (10 % silence, 5 % a wrong check byte, 5 % busy answers,
// burst frames and another master's traffic), one client a port running the program's transactions
// through the interface library and the daemon, while the simulators are killed and started again
// every 2 minutes, the daemon is suspended and resumed every 5 minutes and restarted once half-way.
//
//   stack_soak [--minutes 30] [--ports 4] [--seed 1]
//
// Passes (exit status 0) when nothing crashed, no transaction outlived its bound, every accepted
// answer was the answer to its request from its own port's transmitter, and the daemon's and the
// clients' resident memory and descriptors stayed flat (the last third of the samples after the
// warm-up within 10 % of the first third).
#include "soak_clients.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/sim/sim_process.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>
#include <unistd.h>

using namespace zelhart;
using namespace std::chrono_literals;
using soak::Clock;

namespace {

constexpr int kFirstPort = 211;
constexpr uint32_t kFirstDeviceId = 0x200000;
// One transaction of the program: 3 attempts of at most 100 polls of 40 ms, 1 s apart, plus the open
// (bus quiet time, a daemon that restarts or resumes) and the close.
constexpr auto kTransactionBound = 30s;

struct Sample {
    double minute;
    long daemonRss, daemonFds, clientRss, clientFds;
};

long StatusKb(pid_t pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

long Descriptors(pid_t pid) {
    std::error_code ec;
    long n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// The growth from the first third of the samples to the last third, in %.
double Growth(const std::vector<Sample>& s, long Sample::*field) {
    const size_t third = s.size() / 3;
    if (third == 0) return 0;
    double first = 0, last = 0;
    for (size_t i = 0; i < third; ++i) {
        first += double(s[i].*field);
        last += double(s[s.size() - 1 - i].*field);
    }
    return first > 0 ? 100.0 * (last - first) / first : 0;
}

class Soak {
  public:
    Soak(long ports, uint32_t seed) : ports_(ports), seed_(seed) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zelhart-soak-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        dir_ = tmpl;
        ::setenv("ZELHART_RUNTIME_DIR", dir_.c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", dir_.c_str(), 1);
        ::setenv("ZELHART_INTERFACE_LIBRARY", ZELHART_INTERFACE_LIBRARY_PATH, 1);
        sims_.resize(size_t(ports));
    }
    ~Soak() {
        sims_.clear();
        daemon_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // The simulator of port p (0-based): its own transmitter, faults from its FIFO, bursts and another
    // master at intervals of their own.
    std::string StartSim(size_t p) {
        const std::string base = dir_ + "/sim" + std::to_string(p);
        std::ofstream(base + ".state", std::ios::app).flush();
        if (std::filesystem::file_size(base + ".state") == 0)
            std::ofstream(base + ".state") << "format = 1\ndevice_id = " << (kFirstDeviceId + p) << "\n";
        sims_[p] = std::make_unique<sim::SimProcess>();
        return sims_[p]->Start(dir_, {"--port", std::to_string(kFirstPort + int(p)), "--state", base + ".state",
                                      "--control", base + ".ctl", "--burst", std::to_string(2000 + 700 * p),
                                      "--other-master", std::to_string(1500 + 500 * p)});
    }

    std::string StartDaemon() {
        daemon_ = std::make_unique<hartdriver::DaemonProcess>();
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = dir_;
        return daemon_->Start(launch);
    }

    // Kills every simulator and starts it again; false (with the reason) when one had died by itself.
    bool RestartSims() {
        for (size_t p = 0; p < sims_.size(); ++p) {
            auto& process = sims_[p]->process();
            if (process.Wait(0ms)) return Fail("the simulator of COM" + std::to_string(kFirstPort + int(p)) + " died");
            ::kill(process.pid(), SIGKILL);
            process.Wait(5s);
            if (auto e = StartSim(p); !e.empty()) return Fail(e);
        }
        return true;
    }

    bool DaemonAlive() {
        if (!daemon_->process().Wait(0ms)) return true;
        return Fail("the daemon died:\n" + daemon_->Output());
    }

    bool Fail(const std::string& why) {
        failures_.push_back(why);
        std::fprintf(stderr, "stack_soak: %s\n", why.c_str());
        return false;
    }

    int Run(long minutes);

  private:
    void TakeSample(double minute) {
        const pid_t d = daemon_->process().pid(), self = ::getpid();
        samples_.push_back({minute, StatusKb(d, "VmRSS:"), Descriptors(d), StatusKb(self, "VmRSS:"), Descriptors(self)});
    }
    void Report(long minutes);

    long ports_;
    uint32_t seed_;
    std::string dir_;
    std::vector<std::unique_ptr<sim::SimProcess>> sims_;
    std::unique_ptr<hartdriver::DaemonProcess> daemon_;
    std::vector<std::unique_ptr<soak::SoakClient>> clients_;
    std::vector<Sample> samples_;
    std::vector<std::string> failures_;
    int restarts_ = 0, suspends_ = 0, daemonRestarts_ = 0;
};

int Soak::Run(long minutes) {
    for (size_t p = 0; p < sims_.size(); ++p)
        if (auto e = StartSim(p); !e.empty()) return Fail(e), 1;
    if (auto e = StartDaemon(); !e.empty()) return Fail(e), 1;
    const auto start = Clock::now(), until = start + std::chrono::minutes(minutes);
    for (long p = 0; p < ports_; ++p) {
        clients_.push_back(std::make_unique<soak::SoakClient>(kFirstPort + int(p), kFirstDeviceId + uint32_t(p),
                                                              dir_ + "/sim" + std::to_string(p) + ".ctl",
                                                              seed_ * 7919u + uint32_t(p)));
        clients_.back()->Start(until);
    }
    // Minute marks: simulators every 2, suspend and resume every 5, the daemon restarted half-way;
    // a sample every 10 s after a warm-up of a sixth of the run (at least a minute).
    const double warmUp = std::max(1.0, double(minutes) / 6.0);
    std::chrono::seconds nextSims = 2min, nextSuspend = 5min, nextSample = 0s;
    const auto restartAt = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::minutes(minutes)) / 2;
    bool restarted = false;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(1s);
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
        const double minute = double(elapsed.count()) / 60.0;
        for (const auto& c : clients_)
            if (auto overdue = c->Overdue(kTransactionBound); !overdue.empty()) return Fail("hang: " + overdue), 1;
        if (!DaemonAlive()) return 1;
        if (elapsed >= nextSims) {
            nextSims += 2min;
            if (!RestartSims()) return 1;
            ++restarts_;
        }
        if (elapsed >= nextSuspend) {
            nextSuspend += 5min;
            daemon_->Signal(SIGUSR1);
            std::this_thread::sleep_for(3s);
            daemon_->Signal(SIGUSR2);
            ++suspends_;
        }
        if (!restarted && elapsed >= restartAt) {
            restarted = true;
            if (int status = daemon_->Stop(); status != 0) return Fail("the daemon's stop: status " + std::to_string(status)), 1;
            if (auto e = StartDaemon(); !e.empty()) return Fail(e), 1;
            ++daemonRestarts_;
        }
        // Samples after the warm-up, not within a minute after the daemon's restart.
        const bool settling = restarted && elapsed < restartAt + 60s;
        if (minute >= warmUp && !settling && elapsed >= nextSample) {
            nextSample = elapsed + 10s;
            TakeSample(minute);
        }
    }
    for (const auto& c : clients_) {
        const auto deadline = Clock::now() + kTransactionBound;
        while (!c->Overdue(0ms).empty() && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
        if (!c->Overdue(0ms).empty()) return Fail("hang at the end: " + c->Overdue(0ms)), 1;
        c->Join();
    }
    Report(minutes);
    return failures_.empty() ? 0 : 1;
}

void Soak::Report(long minutes) {
    soak::PortCounts total;
    std::printf("stack_soak: %ld ports, %ld minutes; simulators restarted %d times, daemon suspended and resumed "
                "%d times, restarted %d time(s)\n",
                ports_, minutes, restarts_, suspends_, daemonRestarts_);
    for (const auto& c : clients_) {
        soak::PortCounts n = c->Counts();
        total.transactions += n.transactions;
        total.accepted += n.accepted;
        total.mismatched += n.mismatched;
        total.longestMs = std::max(total.longestMs, n.longestMs);
        for (auto [code, count] : n.results) total.results[code] += count;
        for (const auto& m : n.mismatches) Fail("mismatch: " + m);
    }
    std::printf("  transactions %ld, answers accepted %ld, mismatched %ld, longest transaction %.1f s (bound %lld s)\n",
                total.transactions, total.accepted, total.mismatched, total.longestMs / 1000.0,
                static_cast<long long>(kTransactionBound.count()));
    std::printf("  results:");
    for (auto [code, count] : total.results) std::printf(" %d x%ld", code, count);
    std::printf("  (0 answer, 8 warning, 32 busy, 192 damaged, 255 none)\n");
    if (samples_.empty()) {
        std::printf("  no samples after the warm-up\n");
        return;
    }
    auto range = [&](long Sample::*f) {
        long lo = samples_[0].*f, hi = lo;
        for (const Sample& s : samples_) lo = std::min(lo, s.*f), hi = std::max(hi, s.*f);
        return std::pair(lo, hi);
    };
    struct Row {
        const char* name;
        long Sample::*field;
        const char* unit;
    } rows[] = {{"daemon resident memory", &Sample::daemonRss, "kB"},
                {"daemon descriptors", &Sample::daemonFds, ""},
                {"client resident memory", &Sample::clientRss, "kB"},
                {"client descriptors", &Sample::clientFds, ""}};
    std::printf("  %zu samples from minute %.1f to %.1f:\n", samples_.size(), samples_.front().minute,
                samples_.back().minute);
    for (const Row& r : rows) {
        auto [lo, hi] = range(r.field);
        const double growth = Growth(samples_, r.field);
        std::printf("    %-24s %ld..%ld %s, last third against first third %+.1f%%\n", r.name, lo, hi, r.unit, growth);
        if (growth > 10.0) Fail(std::string(r.name) + " grew by more than 10 %");
    }
    std::printf("  %s\n", failures_.empty() ? "passed" : "FAILED");
}

bool ParseNumber(std::string_view s, long* out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size() && *out > 0;
}

} // namespace

int main(int argc, char** argv) {
    long minutes = 30, ports = 4, seed = 1;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        long* target = a == "--minutes" ? &minutes : a == "--ports" ? &ports : a == "--seed" ? &seed : nullptr;
        if (!target || i + 1 >= argc || !ParseNumber(argv[++i], target) || ports > 16) {
            std::fprintf(stderr, "usage: stack_soak [--minutes 30] [--ports 4 (at most 16)] [--seed 1]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    Soak soak(ports, uint32_t(seed));
    return soak.Run(minutes);
}
