#include "sim_program.h"

#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/state_file.h"

#include <array>
#include <cerrno>
#include <climits>
#include <ctime>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <unistd.h>

namespace zelhart::sim {
namespace {

using namespace std::chrono_literals;

// While nobody has the port open, look for a client this often.
constexpr auto kAttachPoll = 10ms;

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void Warn(std::string_view text) { std::fprintf(stderr, "korvel4810-sim: %.*s\n", int(text.size()), text.data()); }

bool AddToEpoll(int epoll, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

std::string ReadLink(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

} // namespace

SimProgram::~SimProgram() {
    if (device_) SaveStateIfChanged();
    if (registered_) {
        std::string link = platform::PortsDir() + "/COM" + std::to_string(options_.port);
        if (ReadLink(link) == pty_.portPath()) platform::UnregisterComPort(platform::PortsDir(), options_.port);
    }
}

int SimProgram::Run() {
    if (auto e = Setup(); !e.empty()) {
        Warn(e);
        return 1;
    }
    AnnounceReady();
    if (auto e = Loop(); !e.empty()) {
        Warn(e);
        return 1;
    }
    return 0;
}

std::string SimProgram::Setup() {
    // Signals first, so that a stop request during start-up is not lost.
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, s);
    if (::sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) return Errno("sigprocmask");
    std::signal(SIGPIPE, SIG_IGN);
    signals_.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_) return Errno("signalfd");

    if (auto e = LoadState(); !e.empty()) return e;
    if (!options_.logPath.empty()) {
        log_.reset(::open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!log_) return Errno(options_.logPath.c_str());
    }
    if (auto e = pty_.Open(); !e.empty()) return e;

    auto start = LineEngine::Clock::now();
    device_->SetBusy(options_.busy);
    engine_.emplace(*device_, options_.line, start);
    engine_->SetLogSink([this](std::string_view line) { WriteLog(line); });
    engine_->SetListening(false, start);

    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_) return Errno("epoll_create1");
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer_) return Errno("timerfd_create");
    if (!AddToEpoll(epoll_.get(), timer_.get()) || !AddToEpoll(epoll_.get(), signals_.get()))
        return Errno("epoll_ctl");
    if (!options_.controlPath.empty()) {
        if (auto e = control_.Open(options_.controlPath); !e.empty()) return e;
        if (!AddToEpoll(epoll_.get(), control_.fd())) return Errno("epoll_ctl");
    }
    return Register();
}

std::string SimProgram::LoadState() {
    DeviceConfig config = FactoryConfig();
    const std::string& path = options_.statePath;
    if (!path.empty()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (auto e = LoadStateFile(path, config); !e.empty()) return "state file " + e;
        } else if (errno == ENOENT) {
            if (auto e = SaveStateFile(path, config); !e.empty()) return "state file " + e;
        } else {
            return Errno(path.c_str());
        }
    }
    device_.emplace(config);
    return {};
}

std::string SimProgram::Register() {
    std::string dir = platform::PortsDir();
    if (!platform::MakeDirs(dir)) return dir + ": cannot create the directory: " + std::strerror(errno);
    ShareWithPortsGroup(dir);
    if (options_.port == kFreePort) {
        auto sources = platform::DefaultSerialPortMapSources();
        sources.portsDir = dir;
        int number = 0;
        if (int rc = platform::RegisterFreeComPort(sources, pty_.portPath(), &number); rc != 0)
            return std::string("registering a free COM number: ") +
                   (rc == EBUSY ? "COM" + std::to_string(platform::kFirstSimulatorComNumber) + "..COM" +
                                      std::to_string(platform::kLastSimulatorComNumber) + " are all taken"
                                : std::string(std::strerror(rc)));
        options_.port = number;
    } else if (int rc = platform::RegisterComPort(dir, options_.port, pty_.portPath()); rc != 0) {
        return "registering COM" + std::to_string(options_.port) + " in " + dir + ": " + std::strerror(rc);
    }
    registered_ = true;
    return {};
}

// The installed daemon runs as a user of its own in the group that owns the ports directory (mode
// 1775): a terminal device left as the system makes it (this user's, group tty, 0620) could not be
// opened by it. It is given to that group, read and write. A ports directory the group cannot write
// to is a private one (a run by hand, a test): the device stays as it is.
void SimProgram::ShareWithPortsGroup(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !(st.st_mode & S_IWGRP)) return;
    const std::string& port = pty_.portPath();
    if (::chown(port.c_str(), uid_t(-1), st.st_gid) != 0 || ::chmod(port.c_str(), 0660) != 0)
        Warn(port + ": cannot give it to the group of " + dir + " (gid " + std::to_string(st.st_gid) +
             "): " + std::strerror(errno) + "; the driver daemon may not be able to open it");
}

void SimProgram::AnnounceReady() {
    std::string line = "COM" + std::to_string(options_.port) + " " + pty_.portPath() + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    if (options_.readyFd >= 0) {
        if (::write(options_.readyFd, line.data(), line.size()) != ssize_t(line.size()))
            Warn(Errno("--ready-fd"));
        ::close(options_.readyFd);
    }
}

std::string SimProgram::Loop() {
    std::array<epoll_event, 8> events{};
    CheckAttach(LineEngine::Clock::now());
    while (!quit_) {
        ArmTimer();
        int n = ::epoll_wait(epoll_.get(), events.data(), int(events.size()), -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Errno("epoll_wait");
        auto now = LineEngine::Clock::now();
        for (int i = 0; i < n; ++i) {
            int fd = events[size_t(i)].data.fd;
            if (fd == pty_.masterFd()) {
                OnPortEvent(events[size_t(i)].events);
            } else if (fd == timer_.get()) {
                uint64_t expirations;
                while (::read(timer_.get(), &expirations, sizeof expirations) > 0) {
                }
            } else if (fd == signals_.get()) {
                signalfd_siginfo info;
                while (::read(signals_.get(), &info, sizeof info) > 0) quit_ = true;
            } else if (fd == control_.fd()) {
                control_.Read(
                    [&](std::string_view line) {
                        if (auto e = engine_->Control(line, now); !e.empty()) Warn("control: " + e);
                    },
                    [](std::string_view e) { Warn(e); });
                SaveStateIfChanged();
            }
        }
        now = LineEngine::Clock::now();
        if (!attached_) CheckAttach(now);
        Flush(now);
        // A paced request is carried out when its wire time has passed, on a timer wake-up: the
        // change is written then, not when the next request arrives.
        SaveStateIfChanged();
    }
    return {};
}

// One read per wake-up: the port stays readable (level-triggered) while more waits, and a client
// that answers each answer at once cannot keep the timer and the control channel waiting.
void SimProgram::OnPortEvent(uint32_t events) {
    if (events & EPOLLIN) {
        std::array<uint8_t, 4096> buf;
        ssize_t n = ::read(pty_.masterFd(), buf.data(), buf.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (n <= 0) { // EIO: the last client closed the port
            Detach(LineEngine::Clock::now());
            return;
        }
        auto now = LineEngine::Clock::now();
        engine_->Receive(std::span<const uint8_t>(buf.data(), size_t(n)), now);
        Flush(now); // an unpaced answer leaves at once
        SaveStateIfChanged();
        return;
    }
    if (events & (EPOLLHUP | EPOLLERR)) Detach(LineEngine::Clock::now());
}

void SimProgram::Detach(TimePoint now) {
    if (!attached_) return;
    attached_ = false;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, pty_.masterFd(), nullptr);
    engine_->SetListening(false, now);
}

void SimProgram::CheckAttach(TimePoint now) {
    if (attached_ || pty_.PortClosed()) return;
    if (!AddToEpoll(epoll_.get(), pty_.masterFd())) {
        Warn(Errno("epoll_ctl"));
        return;
    }
    attached_ = true;
    engine_->SetListening(true, now);
}

void SimProgram::Flush(TimePoint now) {
    if (!attached_) return;
    engine_->Tick(now);
    out_.clear();
    auto late = engine_->TakeDue(now, out_);
    if (options_.logTimes && late > kCharacterTime) {
        char text[48];
        std::snprintf(text, sizeof text, "LATE %.1f ms",
                      std::chrono::duration<double, std::milli>(late).count());
        WriteLog(text);
    }
    size_t done = 0;
    while (done < out_.size()) {
        ssize_t n = ::write(pty_.masterFd(), out_.data() + done, out_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO) {
            Detach(now);
            return;
        }
        if (n <= 0) { // the port's buffer is full: nobody reads; the line does not wait
            Warn("port not read; " + std::to_string(out_.size() - done) + " bytes dropped");
            return;
        }
        done += size_t(n);
    }
}

void SimProgram::ArmTimer() {
    std::optional<TimePoint> next = engine_->NextWake();
    if (!attached_) {
        auto poll = LineEngine::Clock::now() + kAttachPoll;
        if (!next || poll < *next) next = poll;
    }
    itimerspec spec{};
    if (next) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next->time_since_epoch()).count();
        if (ns <= 0) ns = 1;
        spec.it_value.tv_sec = ns / 1'000'000'000;
        spec.it_value.tv_nsec = ns % 1'000'000'000;
    }
    ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void SimProgram::SaveStateIfChanged() {
    if (!device_->TakeConfigChanged() || options_.statePath.empty()) return;
    if (auto e = SaveStateFile(options_.statePath, device_->config()); !e.empty()) Warn("state file " + e);
}

void SimProgram::WriteLog(std::string_view line) {
    if (!log_) return;
    std::string text;
    if (options_.logTimes) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%lld.%06ld ", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000);
        text = stamp;
    }
    text += line;
    text.push_back('\n');
    if (::write(log_.get(), text.data(), text.size()) != ssize_t(text.size())) Warn(Errno("log"));
}

} // namespace zelhart::sim
