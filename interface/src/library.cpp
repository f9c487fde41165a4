#include "library.h"
#include "device_change_watcher.h"

#include "hartip_device_io.h"
#include "trace.h"

#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/remote_port.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <sys/stat.h>

namespace zelhart::hartif {
namespace {

// The state lives in static storage that has no destructor of its own: it is built and torn down
// exactly by attach and detach, which run at load and unload, whatever order the process runs its
// other static destructors in at exit.
alignas(Library) unsigned char g_storage[sizeof(Library)];
std::atomic<Library*> g_library{nullptr};

uint16_t Slot(uint32_t index) { return uint16_t(index & 0xFFFF); }

// How long a daemon whose socket has appeared is given to accept connections.
constexpr int kDaemonStartMs = 2000;
// How long a daemon's list of served devices is waited for once its socket accepts.
constexpr int kDaemonListMs = 1000;

} // namespace

Library::Library(LibraryOptions options)
    : sources_(options.portSources ? *options.portSources : platform::DefaultSerialPortMapSources()),
      // Remote ports of the port map are served over HART-IP, every other device by the driver.
      io_(MakeRemotePortDeviceIo(options.deviceIo ? options.deviceIo : DefaultDeviceIo(), sources_)),
      daemonSocket_(options.daemonSocket ? *options.daemonSocket : platform::iomgr::SocketPath()),
      functionDevice_(io_) {
    if (options.watchPorts) {
        int e = watcher_.Start(
            sources_, daemonSocket_,
            [this](const std::string& port, const std::string& serial, bool arrival) {
                OnDeviceChange(port, serial, arrival);
            },
            [this] { OnDaemonArrival(); });
        if (e != 0) Trace("%s Error: Failed to create the Main Thread! Error: %d\n", "DllMain", e);
    }
    functionDevice_.EnsureOpen();
}

Library::~Library() {
    watcher_.Stop();
    // Devices the caller left open are closed here: their threads must not outlive the library's code.
    for (auto& controller : table_.TakeAll()) controller->Disconnect();
    functionDevice_.Close();
}

int32_t Library::Open(const char* name, uint16_t* index) {
    TraceScope scope("hart_open");
    if (!name || !index) return HDRV_INVALID_PARAM;
    const size_t length = ::strnlen(name, 260);
    if (length > 259) return HDRV_INVALID_PARAM;
    const std::string deviceName = std::string(kDeviceNameGuidPrefix) + std::string(name, length);
    const std::string devicePath = kDevicePathPrefix + deviceName;
    ControllerPtr controller;
    {
        std::unique_lock lock(openClose_);
        closed_.wait(lock, [&] { return closing_.count(devicePath) == 0; });
        if (auto slot = table_.FindDevicePath(devicePath)) {
            *index = *slot;
            return HDRV_ALREADY_OPEN;
        }
        functionDevice_.EnsureOpen();
        try {
            controller = std::make_shared<CHartModemController>(io_);
        } catch (const std::bad_alloc&) {
            return HDRV_FAILURE;
        }
        if (int32_t r = controller->Connect(deviceName, &functionDevice_)) {
            controller->Disconnect(); // nobody could ever close it
            return r;
        }
        auto slot = table_.Place(controller);
        if (!slot) {
            controller->Disconnect();
            return HDRV_FAILURE;
        }
        *index = *slot;
    }
    if (!controller->IsPresent()) CatchUpWithPort(*controller);
    return HDRV_SUCCESS;
}

// A port that exists already but has no HART device yet (it arrived while no controller had it open,
// or before the driver started) is announced now, as its arrival would have been.
void Library::CatchUpWithPort(CHartModemController& controller) {
    const std::string port = controller.ComPortName();
    auto devicePath = SerialDeviceOf(port);
    if (!devicePath) return;
    functionDevice_.EnsureOpen();
    controller.UpdateComPortState(port, *devicePath, true);
}

std::optional<std::string> Library::SerialDeviceOf(const std::string& port) const {
    auto number = platform::ParseComName(port);
    if (!number || port != "COM" + std::to_string(*number)) return std::nullopt;
    return platform::LookupComPort(*number, sources_);
}

int32_t Library::Configure(uint32_t index, const HartConfig* config) {
    auto controller = table_.Get(Slot(index));
    return controller ? controller->SetConfiguration(config) : HDRV_INVALID_INDEX;
}

int32_t Library::Subscribe(uint32_t index, uint32_t flags) {
    auto controller = table_.Get(Slot(index));
    return controller ? controller->Subscribe(uint8_t(flags & 0xFF)) : HDRV_INVALID_INDEX;
}

int32_t Library::Register(uint32_t index, const AppRegistryInfo* reg) {
    auto controller = table_.Get(Slot(index));
    return controller ? controller->SetRegistration(reg) : HDRV_INVALID_INDEX;
}

int32_t Library::Write(uint32_t index, const HartMessage* request) {
    auto controller = table_.Get(Slot(index));
    return controller ? controller->SendHartMessage(request) : HDRV_INVALID_INDEX;
}

int32_t Library::Read(uint32_t index, HartMessage* record) {
    auto controller = table_.Get(Slot(index));
    return controller ? controller->TakeRecord(record) : HDRV_INVALID_INDEX;
}

int32_t Library::Close(uint32_t index) {
    TraceScope scope("hart_close");
    const uint16_t slot = Slot(index);
    if (slot >= ControllerTable::kSlots) return HDRV_INVALID_INDEX;
    ControllerPtr controller;
    std::string path;
    {
        std::lock_guard lock(openClose_);
        controller = table_.Take(slot);
        if (!controller) return HDRV_FAILURE;
        path = controller->DevicePath();
        closing_.insert(path);
    }
    const int32_t result = controller->Disconnect();
    {
        std::lock_guard lock(openClose_);
        closing_.erase(closing_.find(path));
    }
    closed_.notify_all();
    return result;
}

void Library::OnDeviceChange(const std::string& portName, const std::string& serialDeviceName, bool arrival) {
    TraceScope scope("OnDeviceChange");
    auto controller = table_.FirstWithComPort(portName);
    if (!controller) return;
    if (arrival) functionDevice_.EnsureOpen();
    controller->UpdateComPortState(portName, serialDeviceName, arrival);
}

void Library::OnDaemonArrival() {
    TraceScope scope("OnDaemonArrival");
    // The socket is there from the daemon's bind on; it accepts connections a moment later.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDaemonStartMs);
    while (platform::iomgr::ProbeDaemonSocket(daemonSocket_) == platform::iomgr::DaemonSocketState::kNotAccepting &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A daemon's start changes two files, its socket and then its list of served devices, and each
    // may wake the watcher: the second wake finds the same daemon and changes nothing. Reconnecting
    // again would cut into the first exchange after the first reconnect.
    const DaemonIdentity daemon = CurrentDaemon();
    if (lastDaemon_ && *lastDaemon_ == daemon) return;
    lastDaemon_ = daemon;
    functionDevice_.Reopen();
    for (const auto& controller : table_.All()) {
        // A remote port's device is the HART-IP server's, not the daemon's.
        if (auto number = platform::ParseComName(controller->ComPortName());
            number && platform::LookupRemotePort(*number, sources_))
            continue;
        controller->DaemonArrived(SerialDeviceOf(controller->ComPortName()).value_or(std::string()));
    }
}

Library::DaemonIdentity Library::CurrentDaemon() const {
    const size_t slash = daemonSocket_.find_last_of('/');
    const std::string devices =
        (slash == std::string::npos ? std::string(".") : daemonSocket_.substr(0, slash)) + "/" + kServedDevicesFileName;
    auto newer = [](const struct stat& a, const struct stat& b) {
        return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                    : a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
    };
    // The daemon writes its list right after it has made its socket; a daemon without a list (or one
    // that is slow) is taken as it is after the wait.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kDaemonListMs);
    struct stat socketStat {}, devicesStat {};
    for (;;) {
        const bool haveSocket = ::stat(daemonSocket_.c_str(), &socketStat) == 0;
        const bool haveDevices = ::stat(devices.c_str(), &devicesStat) == 0;
        if (!haveSocket || (haveDevices && newer(devicesStat, socketStat)) || Clock::now() >= deadline) {
            if (!haveSocket) socketStat = {};
            if (!haveDevices) devicesStat = {};
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {static_cast<unsigned long long>(socketStat.st_dev), static_cast<unsigned long long>(socketStat.st_ino),
            static_cast<unsigned long long>(devicesStat.st_dev), static_cast<unsigned long long>(devicesStat.st_ino)};
}

void LibraryAttach(LibraryOptions options) {
    LibraryDetach();
    Library* library = std::construct_at(reinterpret_cast<Library*>(g_storage), std::move(options));
    g_library.store(library);
}

void LibraryDetach() {
    Library* library = g_library.exchange(nullptr);
    if (library) std::destroy_at(library);
}

Library* CurrentLibrary() { return g_library.load(); }

} // namespace zelhart::hartif
