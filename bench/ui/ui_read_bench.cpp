// Does the window stay alive while the transmitter is read, and how soon is it there?
//
//   ui_read_bench [--runs N] [--check]
//
// Start: the program (QApplication, CLrxPcApp with its splash and shell registration, the first
// show) is started as a child process N times; the time from starting it to the first paint of its
// form is reported. Read: in this process, the desktop program reads the whole configuration N times
// (identity and the six read steps, 18 exchanges) through the real interface library, ZelHartDriver
// and korvel4810-sim at the real line rate, while a 5 ms timer on the user-interface thread records
// every gap of the event loop. The longest gap less the timer's period is the longest stall; it is
// reported in milliseconds and in character times of the line (11 bits at 1200 baud).
//
// --check: exit status 1 when a stall reaches 100 ms, a start takes 500 ms or more, or a read fails.
// Runs on whatever Qt platform QT_QPA_PLATFORM names (offscreen when unset).
#include "read_timing.h"

#include "app.h"
#include "core/commands.h"
#include "main_window.h"
#include "modal.h"
#include "view.h"

#include "zelhart/driver/daemon_process.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include "hart/strings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zelhart;
using bench::kCharacterMs;

constexpr double kStallLimitMs = 100.0;
constexpr double kStartLimitMs = 500.0;
constexpr int kSamplePeriodMs = 5;

long long MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::string MakeTempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "zelhart-ui-bench-XXXXXX").string();
    return ::mkdtemp(t.data()) ? t : std::string();
}

// Prints the monotonic time of the first paint of `watched`, then ends the event loop.
class FirstPaint : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            std::printf("painted %lld\n", MonotonicNs());
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool seen_ = false;
};

// The child: the program's start up to the first paint of its form.
int StartupChild(int argc, char** argv) {
    QApplication application(argc, argv);
    ui::CLrxPcApp app;
    FirstPaint paint;
    if (app.InitInstance({})) return 1;
    app.MainWindow()->View().installEventFilter(&paint);
    return application.exec();
}

struct StartResult {
    std::string error;
    double ms = 0;
};

StartResult MeasureStart(const std::string& home) {
    sim::ChildSpec child;
    child.executable = sim::ExecutableBesideThisProgram("ui_read_bench");
    child.args = {"--startup-child"};
    child.env = {{"HOME", home}, {"XDG_CONFIG_HOME", home + "/config"}, {"XDG_DATA_HOME", home + "/data"},
                 {"XDG_RUNTIME_DIR", home}};
    if (!std::getenv("QT_QPA_PLATFORM")) child.env.push_back({"QT_QPA_PLATFORM", "offscreen"});
    child.captureOutput = true;
    const long long start = MonotonicNs();
    const auto result = sim::RunToExit(child, std::chrono::seconds(60));
    if (!result || result->first != 0) return {"the program did not start: " + (result ? result->second : ""), 0};
    const size_t at = result->second.find("painted ");
    if (at == std::string::npos) return {"no paint reported: " + result->second, 0};
    return {{}, double(std::stoll(result->second.substr(at + 8)) - start) / 1e6};
}

struct ReadResult {
    bool ok = false;
    double wallMs = 0;
    double longestStallMs = 0;
    double p99GapMs = 0;
    int gapsOverLimit = 0;
    std::vector<int> progress; // distinct values the bar showed, in order
};

// One whole read through the window; the event loop is sampled meanwhile.
ReadResult MeasureRead(ui::CLrxPcApp& app) {
    ReadResult r;
    ui::modal::Reset();
    app.Document().OnNewDocument(); // nothing to lose: the read asks nothing
    ui::CLrxPcMainWin& window = *app.MainWindow();
    QProgressBar* bar = window.View().ProgressBar();
    std::vector<double> gaps;
    QElapsedTimer clock;
    QEventLoop loop;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    qint64 last = 0;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        gaps.push_back(double(now - last) / 1e6);
        last = now;
        if (r.progress.empty() || r.progress.back() != bar->value()) r.progress.push_back(bar->value());
        if (!app.Runner().Busy()) loop.quit();
    });
    clock.start();
    window.RunCommand(ui::kCmdReadDevice);
    sampler.start(kSamplePeriodMs);
    loop.exec();
    r.wallMs = double(clock.nsecsElapsed()) / 1e6;
    r.ok = ui::modal::LoggedIds() == std::vector<int>{hart::str::kReceiveComplete} &&
           app.Document().Transmitter().GetFieldErrors().Any() == false && app.Document().GetCleared() == 0;
    std::sort(gaps.begin(), gaps.end());
    if (!gaps.empty()) {
        r.longestStallMs = std::max(0.0, gaps.back() - kSamplePeriodMs);
        r.p99GapMs = gaps[size_t(double(gaps.size() - 1) * 0.99)];
        r.gapsOverLimit = int(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g - kSamplePeriodMs >= kStallLimitMs; }));
    }
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--startup-child") == 0) return StartupChild(argc, argv);
    int runs = 3;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0) check = true;
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) runs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: ui_read_bench [--runs N] [--check]\n");
            return 2;
        }
    }
    const std::string dir = MakeTempDir();
    if (dir.empty()) return 1;
    const std::string run = dir + "/run", etc = dir + "/etc", home = dir + "/home";
    for (const auto& d : {run, etc, home}) std::filesystem::create_directories(d);
    std::filesystem::permissions(home, std::filesystem::perms::owner_all); // it is XDG_RUNTIME_DIR too
    bool failed = false;

    // --- the start
    std::vector<double> starts;
    for (int i = 0; i < runs; ++i) {
        const StartResult s = MeasureStart(home);
        if (!s.error.empty()) {
            std::fprintf(stderr, "start %d: %s\n", i + 1, s.error.c_str());
            return 1;
        }
        starts.push_back(s.ms);
    }
    std::sort(starts.begin(), starts.end());
    std::printf("start to the first paint of the window: median %.0f ms, longest %.0f ms over %d starts (limit %.0f ms)\n",
                starts[starts.size() / 2], starts.back(), runs, kStartLimitMs);
    if (starts.back() >= kStartLimitMs) failed = true;

    // --- the reads, through the real library, the daemon and the paced simulator
    ::setenv("ZELHART_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("ZELHART_CONFIG_DIR", etc.c_str(), 1);
    ::setenv("ZELHART_INTERFACE_LIBRARY", ZELHART_INTERFACE_LIBRARY_PATH, 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    sim::SimProcess simulator;
    if (auto e = simulator.Start(run, {"--port", "free", "--log", dir + "/frames.log"}); !e.empty()) {
        std::fprintf(stderr, "korvel4810-sim: %s\n", e.c_str());
        return 1;
    }
    hartdriver::DaemonProcess daemon;
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = run;
    launch.configDir = etc;
    if (auto e = daemon.Start(launch); !e.empty()) {
        std::fprintf(stderr, "ZelHartDriver: %s\n", e.c_str());
        return 1;
    }
    double longest = 0, wall = 0;
    {
        QApplication application(argc, argv);
        hart::MemorySettings settings;
        settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey,
                        std::stoi(simulator.comName().substr(3)));
        ui::AppServices services;
        services.settings = &settings;
        ui::modal::SetScripted(true); // "Приём завершен" is acknowledged by the script
        ui::CLrxPcApp app(services);
        app.InitInstance({});
        for (int i = 1; i <= runs; ++i) {
            const ReadResult r = MeasureRead(app);
            std::string progress;
            for (int p : r.progress) progress += " " + std::to_string(p);
            std::printf("read %d: %s in %.0f ms; longest stall %.1f ms (%.1f character times), 99th percentile gap "
                        "%.1f ms, stalls of %.0f ms or more: %d; progress bar:%s\n",
                        i, r.ok ? "complete" : "FAILED", r.wallMs, r.longestStallMs, r.longestStallMs / kCharacterMs,
                        r.p99GapMs, kStallLimitMs, r.gapsOverLimit, progress.c_str());
            std::fflush(stdout);
            longest = std::max(longest, r.longestStallMs);
            wall += r.wallMs;
            if (!r.ok || r.gapsOverLimit > 0) failed = true;
        }
    }
    daemon.Stop();
    simulator.Stop();
    // What the line itself took: requests and answers, 11 bits a character at 1200 baud (the paced
    // simulator takes the line's time in both directions).
    std::string error;
    double lineMs = 0;
    for (const bench::LoggedFrame& f : bench::ParseFrameLog(ReadFile(dir + "/frames.log"), &error))
        lineMs += double(f.bytes) * kCharacterMs;
    std::printf("over %d reads: longest stall %.1f ms = %.1f character times (limit %.0f ms); a read took %.0f ms, "
                "%.2f times the line time of its requests and answers (%.0f ms)\n",
                runs, longest, longest / kCharacterMs, kStallLimitMs, wall / runs, lineMs > 0 ? wall / lineMs : 0.0,
                lineMs / runs);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return check && failed ? 1 : 0;
}
