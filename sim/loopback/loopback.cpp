// libZelHartLoopback.so: the seven hart_* exports with a Korvel-4810 behind them in the same
// process, for testing the program's layers quickly and without the driver. Load it with
// ZELHART_INTERFACE_LIBRARY=<build>/lib/libZelHartLoopback.so.
//
// One transmitter answers on every device name; it lives as long as the library stays loaded, so
// what one transaction writes the next one reads. Environment, read at every hart_open:
//   ZELHART_LOOPBACK_STATE=<file>  the transmitter's configuration (korvel4810-sim's state file
//                                  format): loaded (written with the factory configuration when
//                                  missing) and saved after every change. When the variable names
//                                  another file than before (or is unset after being set), the
//                                  next hart_open starts a new transmitter from it.
//   ZELHART_LOOPBACK_SILENT=1      the transmitter never answers (every request comes back as a
//                                  failure record, as after the driver's retries)
//
// A request is answered at once: hart_write queues the reply record (frame from the delimiter on,
// Status from its frame type and master bit, the request's RequestTag), or a failure record
// (Length 0, Status 6, Error -1) when nothing answers.
#include "zelhart/hart_api.h"
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/slave_framer.h"
#include "zelhart/sim/state_file.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace zelhart::sim;

constexpr size_t kMaxRecords = 4096; // per device; the oldest record goes when more arrive

struct Slot {
    std::string name;
    uint8_t masterType = 0x80; // as after the first connect: primary master
    uint8_t receiveMask = 0x02;
    AppRegistryInfo registration{};
    std::deque<HartMessage> records;
};

struct Loopback {
    std::mutex mutex;
    std::optional<KorvelDevice> device;
    std::string statePath; // the file the transmitter was made from, "" for none
    bool silent = false;
    std::chrono::steady_clock::time_point start;
    std::array<std::unique_ptr<Slot>, HART_MAX_DEVICES> slots;
};

Loopback& Instance() {
    static Loopback loopback;
    return loopback;
}

// The transmitter, made at the first open and again when ZELHART_LOOPBACK_STATE changes. False
// (with a message) when its state file is bad.
bool EnsureDevice(Loopback& l) {
    const char* silent = std::getenv("ZELHART_LOOPBACK_SILENT");
    l.silent = silent && std::strcmp(silent, "1") == 0;
    const char* env = std::getenv("ZELHART_LOOPBACK_STATE");
    std::string path = env ? env : "";
    if (l.device && path == l.statePath) return true;
    DeviceConfig config = FactoryConfig();
    if (!path.empty()) {
        struct stat st {};
        std::string error;
        if (::stat(path.c_str(), &st) == 0) error = LoadStateFile(path, config);
        else error = SaveStateFile(path, config);
        if (!error.empty()) {
            std::fprintf(stderr, "libZelHartLoopback: state file %s\n", error.c_str());
            return false;
        }
    }
    l.statePath = path;
    l.start = std::chrono::steady_clock::now();
    l.device.emplace(config);
    return true;
}

Slot* Find(Loopback& l, uint32_t index) {
    index &= 0xFFFF;
    if (index >= HART_MAX_DEVICES) return nullptr;
    return l.slots[index].get();
}

// The window message of a registration, as the 12 bytes Msg, wParam, lParam on the caller's
// descriptor, never blocking.
void Post(const AppRegistryInfo& r) {
    if (r.hWnd <= 0) return;
    pollfd p{r.hWnd, POLLOUT, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return;
    uint8_t msg[12];
    std::memcpy(msg, &r.Msg, 4);
    std::memcpy(msg + 4, &r.wParam, 4);
    std::memcpy(msg + 8, &r.lParam, 4);
    ssize_t n = ::write(r.hWnd, msg, sizeof msg);
    (void)n; // a full or closed channel loses the notice, as a window message would be
}

void Queue(Slot& slot, const HartMessage& record) {
    if (slot.records.size() >= kMaxRecords) slot.records.pop_front();
    slot.records.push_back(record);
    Post(slot.registration);
}

HartMessage FailureRecord(uint16_t tag) {
    HartMessage m{};
    m.Status = HART_STATUS_SLAVE_REPLY;
    m.RequestTag = tag;
    m.Error = HART_ERROR_WRITE;
    return m;
}

void Exchange(Loopback& l, Slot& slot, const HartMessage& request) {
    if (request.Length == 0 || request.Length > HART_MESSAGE_DATA_SIZE) {
        Queue(slot, FailureRecord(request.RequestTag));
        return;
    }
    auto now = std::chrono::steady_clock::now();
    SlaveFramer framer;
    bool answered = false;
    for (uint16_t i = 0; i < request.Length; ++i) {
        auto frame = framer.Feed(request.Data[i], now);
        if (!frame || l.silent) continue;
        auto reply = l.device->Handle(*frame, now - l.start);
        if (!reply) continue;
        HartMessage m{};
        auto bytes = reply->bytes();
        std::memcpy(m.Data, bytes.data(), bytes.size());
        m.Length = static_cast<uint16_t>(bytes.size());
        m.Status = static_cast<uint16_t>((bytes[0] & 0x07) | ((bytes[1] ^ slot.masterType) & 0x80));
        m.RequestTag = request.RequestTag;
        Queue(slot, m);
        answered = true;
    }
    if (!answered) Queue(slot, FailureRecord(request.RequestTag));
    if (l.device->TakeConfigChanged() && !l.statePath.empty()) {
        if (auto e = SaveStateFile(l.statePath, l.device->config()); !e.empty())
            std::fprintf(stderr, "libZelHartLoopback: state file %s\n", e.c_str());
    }
}

} // namespace

extern "C" {

int32_t hart_open(const char* name, uint16_t* index) {
    if (!name || !index) return HDRV_INVALID_PARAM;
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    for (size_t i = 0; i < l.slots.size(); ++i) {
        if (l.slots[i] && l.slots[i]->name == name) {
            *index = static_cast<uint16_t>(i);
            return HDRV_ALREADY_OPEN;
        }
    }
    if (!EnsureDevice(l)) return HDRV_FAILURE;
    for (size_t i = 0; i < l.slots.size(); ++i) {
        if (l.slots[i]) continue;
        l.slots[i] = std::make_unique<Slot>();
        l.slots[i]->name = name;
        *index = static_cast<uint16_t>(i);
        return HDRV_SUCCESS;
    }
    return HDRV_FAILURE;
}

int32_t hart_configure(uint32_t index, const HartConfig* config) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    Slot* slot = Find(l, index);
    if (!slot) return HDRV_INVALID_INDEX;
    if (!config) return HDRV_INVALID_PARAM;
    slot->masterType = static_cast<uint8_t>(config->MasterType & 0xFF);
    slot->receiveMask = 0x02;
    return HDRV_SUCCESS;
}

int32_t hart_subscribe(uint32_t index, uint32_t flags) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    Slot* slot = Find(l, index);
    if (!slot) return HDRV_INVALID_INDEX;
    uint8_t mask = 0x02;
    if (flags & HART_SUBSCRIBE_OTHER_MASTER_REQUESTS) mask |= 0x40;
    if (flags & HART_SUBSCRIBE_OTHER_MASTER_REPLIES) mask |= 0x20;
    if (flags & HART_SUBSCRIBE_BURST_THIS_MASTER) mask |= 0x01;
    if (flags & HART_SUBSCRIBE_BURST_OTHER_MASTER) mask |= 0x10;
    slot->receiveMask = mask; // nobody else talks on this line, so nothing more arrives
    return HDRV_SUCCESS;
}

int32_t hart_register(uint32_t index, const AppRegistryInfo* reg) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    Slot* slot = Find(l, index);
    if (!slot) return HDRV_INVALID_INDEX;
    if (!reg) return HDRV_SUCCESS;
    slot->registration = *reg;
    if (!slot->records.empty()) Post(slot->registration);
    return HDRV_SUCCESS;
}

int32_t hart_write(uint32_t index, const HartMessage* request) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    Slot* slot = Find(l, index);
    if (!slot) return HDRV_INVALID_INDEX;
    if (!request) return HDRV_INVALID_PARAM;
    Exchange(l, *slot, *request);
    return HDRV_SUCCESS;
}

int32_t hart_read(uint32_t index, HartMessage* record) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    Slot* slot = Find(l, index);
    if (!slot) return HDRV_INVALID_INDEX;
    if (!record) return HDRV_INVALID_PARAM;
    if (slot->records.empty()) return HDRV_NO_MESSAGE;
    *record = slot->records.front();
    slot->records.pop_front();
    if (!slot->records.empty()) Post(slot->registration);
    return HDRV_SUCCESS;
}

int32_t hart_close(uint32_t index) {
    Loopback& l = Instance();
    std::lock_guard lock(l.mutex);
    index &= 0xFFFF;
    if (index >= HART_MAX_DEVICES) return HDRV_INVALID_INDEX;
    if (!l.slots[index]) return HDRV_FAILURE;
    l.slots[index].reset();
    return HDRV_SUCCESS;
}

} // extern "C"
