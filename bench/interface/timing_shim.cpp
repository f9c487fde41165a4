// libzelhart_timing_shim.so: the seven hart_* exports, forwarded to the real interface library, with
// the time of every call written to a log. The program under measurement loads it in place of the
// library ($ZELHART_INTERFACE_LIBRARY); $ZELHART_TIMING_TARGET names the real library and
// $ZELHART_TIMING_LOG the log file.
//
// It also registers a notification descriptor of its own for every device opened (the program
// itself registers none), so that the log holds the moment each record was queued: the time between
// that and the hart_read that took the record is the wait the caller's polling added.
//
// Log lines (times in nanoseconds of CLOCK_MONOTONIC, the clock of std::chrono::steady_clock):
//   <call> <return> <function> <index> <result> <length>   one per export call
//   <time> <time> queued <index> 0 0                         one per record the library queued
// <length> is the request's Length for hart_write and the record's Length for hart_read, else 0.
#include "zelhart/hart_api.h"
#include "zelhart/platform/unique_fd.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

using zelhart::platform::UniqueFd;

uint64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

struct RealLibrary {
    void* handle = nullptr;
    hart_open_fn open = nullptr;
    hart_configure_fn configure = nullptr;
    hart_subscribe_fn subscribe = nullptr;
    hart_register_fn registerFn = nullptr;
    hart_write_fn write = nullptr;
    hart_read_fn read = nullptr;
    hart_close_fn close = nullptr;
};

class Recorder {
public:
    Recorder() {
        if (const char* path = std::getenv("ZELHART_TIMING_LOG")) log_ = std::fopen(path, "we");
        const char* target = std::getenv("ZELHART_TIMING_TARGET");
        if (!target || !(lib_.handle = ::dlopen(target, RTLD_NOW | RTLD_LOCAL))) {
            std::fprintf(stderr, "timing shim: cannot load the library named by ZELHART_TIMING_TARGET: %s\n",
                         target ? ::dlerror() : "not set");
            return;
        }
        lib_.open = reinterpret_cast<hart_open_fn>(::dlsym(lib_.handle, "hart_open"));
        lib_.configure = reinterpret_cast<hart_configure_fn>(::dlsym(lib_.handle, "hart_configure"));
        lib_.subscribe = reinterpret_cast<hart_subscribe_fn>(::dlsym(lib_.handle, "hart_subscribe"));
        lib_.registerFn = reinterpret_cast<hart_register_fn>(::dlsym(lib_.handle, "hart_register"));
        lib_.write = reinterpret_cast<hart_write_fn>(::dlsym(lib_.handle, "hart_write"));
        lib_.read = reinterpret_cast<hart_read_fn>(::dlsym(lib_.handle, "hart_read"));
        lib_.close = reinterpret_cast<hart_close_fn>(::dlsym(lib_.handle, "hart_close"));
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        posts_.reset(fds[0]);
        postTarget_.reset(fds[1]);
        stop_.reset(::eventfd(0, EFD_CLOEXEC));
        if (stop_) listener_ = std::thread([this] { Listen(); });
    }
    ~Recorder() {
        if (listener_.joinable()) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof(one));
            listener_.join();
        }
        // The library may still hold the descriptor as a device's notification target until its own
        // unload: leave it to the end of the process rather than let its number be reused.
        postTarget_.release();
        if (log_) std::fclose(log_);
    }

    const RealLibrary& lib() const { return lib_; }

    void Log(uint64_t call, const char* function, uint32_t index, int32_t result, uint32_t length) {
        std::lock_guard lock(mutex_);
        if (!log_) return;
        std::fprintf(log_, "%llu %llu %s %u %d %u\n", static_cast<unsigned long long>(call),
                     static_cast<unsigned long long>(NowNs()), function, index, result, length);
        std::fflush(log_);
    }

    // Every device opened posts to the shim's pipe whenever a record is queued for it.
    void WatchDevice(uint16_t index) {
        if (!postTarget_ || !lib_.registerFn) return;
        AppRegistryInfo reg{postTarget_.get(), 0x8000, int32_t(index), 0};
        lib_.registerFn(index, &reg);
    }

private:
    void Listen() {
        pollfd fds[2] = {{posts_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            uint8_t post[12];
            while (::read(posts_.get(), post, sizeof(post)) == sizeof(post)) {
                uint64_t at = NowNs();
                int32_t index;
                std::memcpy(&index, post + 4, 4);
                Log(at, "queued", uint32_t(index), 0, 0);
            }
        }
    }

    RealLibrary lib_;
    std::mutex mutex_;
    FILE* log_ = nullptr;
    UniqueFd posts_, postTarget_, stop_;
    std::thread listener_;
};

Recorder& Shim() {
    static Recorder recorder;
    return recorder;
}

} // namespace

extern "C" {

ZELHART_EXPORT int32_t hart_open(const char* name, uint16_t* index) {
    uint64_t t = NowNs();
    Recorder& shim = Shim();
    if (!shim.lib().open) return HDRV_FAILURE;
    int32_t rc = shim.lib().open(name, index);
    if (rc == HDRV_SUCCESS && index) shim.WatchDevice(*index);
    shim.Log(t, "open", index ? *index : 0xFFFF, rc, 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_configure(uint32_t index, const HartConfig* config) {
    uint64_t t = NowNs();
    if (!Shim().lib().configure) return HDRV_FAILURE;
    int32_t rc = Shim().lib().configure(index, config);
    Shim().Log(t, "configure", index, rc, 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_subscribe(uint32_t index, uint32_t flags) {
    uint64_t t = NowNs();
    if (!Shim().lib().subscribe) return HDRV_FAILURE;
    int32_t rc = Shim().lib().subscribe(index, flags);
    Shim().Log(t, "subscribe", index, rc, 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_register(uint32_t index, const AppRegistryInfo* reg) {
    uint64_t t = NowNs();
    if (!Shim().lib().registerFn) return HDRV_FAILURE;
    int32_t rc = Shim().lib().registerFn(index, reg);
    Shim().Log(t, "register", index, rc, 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_write(uint32_t index, const HartMessage* request) {
    uint64_t t = NowNs();
    if (!Shim().lib().write) return HDRV_FAILURE;
    int32_t rc = Shim().lib().write(index, request);
    Shim().Log(t, "write", index, rc, request ? request->Length : 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_read(uint32_t index, HartMessage* record) {
    uint64_t t = NowNs();
    if (!Shim().lib().read) return HDRV_FAILURE;
    int32_t rc = Shim().lib().read(index, record);
    // Polls that find nothing are many and say nothing: only records taken are logged.
    if (rc != HDRV_NO_MESSAGE) Shim().Log(t, "read", index, rc, rc == HDRV_SUCCESS ? record->Length : 0);
    return rc;
}

ZELHART_EXPORT int32_t hart_close(uint32_t index) {
    uint64_t t = NowNs();
    if (!Shim().lib().close) return HDRV_FAILURE;
    int32_t rc = Shim().lib().close(index);
    Shim().Log(t, "close", index, rc, 0);
    return rc;
}

} // extern "C"
