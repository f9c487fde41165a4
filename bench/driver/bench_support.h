// Shared pieces of the driver benchmarks: a private runtime directory, the daemon, simple argument
// parsing, statistics, and the physical limit they are measured against.
#pragma once

#include "zelhart/driver/daemon_process.h"
#include "zelhart/hart_ioctl.h"
#include "zelhart/platform/iomgr_client.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sched.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace zelhart::bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using platform::iomgr::DeviceFile;
using platform::iomgr::Event;
using platform::iomgr::Overlapped;

// One character at 1200 baud: start bit, 8 data bits, parity, stop bit.
inline constexpr double kCharMs = 11.0 * 1000.0 / 1200.0;

// A private runtime and configuration directory, removed at the end.
class BenchDir {
  public:
    BenchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zelhart-bench-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
        ::setenv("ZELHART_RUNTIME_DIR", path_.c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", path_.c_str(), 1);
    }
    ~BenchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// "--name value" pairs; numbers only.
inline bool ParseArgs(int argc, char** argv, std::vector<std::pair<std::string_view, long*>> options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto it = std::find_if(options.begin(), options.end(), [&](auto& o) { return o.first == arg; });
        if (it == options.end() || i + 1 >= argc) {
            std::fprintf(stderr, "unknown or incomplete option %s\n", argv[i]);
            return false;
        }
        std::string_view v = argv[++i];
        auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), *it->second);
        if (ec != std::errc() || end != v.data() + v.size() || *it->second <= 0) {
            std::fprintf(stderr, "%s: not a positive number: %s\n", argv[i - 1], argv[i]);
            return false;
        }
    }
    return true;
}

inline std::string StartDaemon(hartdriver::DaemonProcess& daemon, const std::string& dir) {
    hartdriver::DaemonLaunch launch;
    launch.runtimeDir = dir;
    launch.configDir = dir;
    return daemon.Start(launch);
}

// A simulator stands for the line and the transmitter, which are hardware: nothing holds them up.
// Real-time priority (SCHED_FIFO 1, needs root or CAP_SYS_NICE) keeps a loaded machine from pausing a
// simulator inside an answer, a gap a real line never has; the daemon keeps its ordinary priority.
inline bool GiveLinePriority(pid_t pid) {
    sched_param param{};
    param.sched_priority = 1;
    return ::sched_setscheduler(pid, SCHED_FIFO, &param) == 0;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(v.size())));
    return v[i];
}

inline Bytes ShortRequest(uint8_t command) {
    Bytes frame(5, 0xFF);
    Bytes body{0x02, 0x80, command, 0x00};
    uint8_t check = 0;
    for (uint8_t b : body)
        check ^= b;
    body.push_back(check);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

inline std::unique_ptr<DeviceFile> OpenPath(const std::string& path) {
    std::unique_ptr<DeviceFile> file;
    if (DeviceFile::Open(path, platform::iomgr::GENERIC_READ | platform::iomgr::GENERIC_WRITE, 0,
                         platform::iomgr::FILE_FLAG_OVERLAPPED, &file) != platform::ERROR_SUCCESS)
        return nullptr;
    return file;
}

inline std::unique_ptr<DeviceFile> OpenFunctionDevice() {
    std::string path;
    if (platform::iomgr::LookupDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface), 0,
                                               &path) != platform::ERROR_SUCCESS)
        return nullptr;
    return OpenPath(path);
}

inline std::unique_ptr<DeviceFile> OpenHart(int port) {
    return OpenPath(std::string("\\\\.\\") + kHartDeviceLinkTail + std::to_string(port));
}

// The library's settings on an opened device: replies to this master, primary master, 2 retries.
inline bool Configure(DeviceFile& file) {
    uint8_t mask = RCV_MASK_ACK_THIS_MASTER;
    HartProtocolInfo info{HART_MODE_MASTER, HART_PRIMARY_MASTER, 2};
    uint32_t n;
    return file.DeviceIoControl(IOCTL_HART_SET_READ_MASK, &mask, 1, nullptr, 0, &n) ==
               platform::ERROR_SUCCESS &&
           file.DeviceIoControl(IOCTL_HART_SET_PROTOCOL, &info, sizeof(info), nullptr, 0, &n) ==
               platform::ERROR_SUCCESS;
}

// Waits for an overlapped request; its NTSTATUS, or STATUS_TIMEOUT (the request is then cancelled).
inline NTSTATUS Await(DeviceFile& file, Overlapped& ov, uint32_t ms, uint32_t* transferred = nullptr) {
    if (platform::iomgr::WaitForSingleEvent(*ov.hEvent, ms) != platform::iomgr::WAIT_OBJECT_0) {
        file.CancelIoEx(&ov);
        platform::iomgr::WaitForSingleEvent(*ov.hEvent, platform::iomgr::INFINITE);
        file.GetOverlappedResult(&ov, transferred, false);
        return STATUS_TIMEOUT;
    }
    file.GetOverlappedResult(&ov, transferred, false);
    return ov.Internal;
}

// CPU time (user + system) of a process so far, in seconds; its resident set in kB.
inline double ProcessCpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    std::string field;
    for (char c : stat.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (fields.size() < 13) return -1;
    double ticks = std::stod(fields[11]) + std::stod(fields[12]); // utime, stime
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline long ProcessStatusKb(pid_t pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    return -1;
}

} // namespace zelhart::bench
