#include "device_change_watcher.h"

#include "trace.h"

#include "zelhart/platform/port_watcher.h"
#include "zelhart/platform/socket_watcher.h"

#include <cerrno>
#include <optional>
#include <system_error>

namespace zelhart::hartif {
namespace {

// How long after the daemon's socket appears its list of served devices is waited for (and the other
// way round), so that one start is one arrival.
constexpr int kDaemonArrivalWindowMs = 500;

// ThreadDeviceChangeWatcher: waits on the stop event, the port watcher, the socket watcher and the
// watcher of the daemon's list of served devices, in this order. The list is put in place anew when
// the daemon's device nodes change: a device whose node was removed and created again is new to the
// daemon, and the library opens it again as after the daemon's start.
int ThreadDeviceChangeWatcher(const ManualResetEvent& stop, platform::PortWatcher& ports,
                              platform::FileAppearanceWatcher* socket, platform::FileAppearanceWatcher* devices,
                              const DeviceChangeWatcher::Handler& onDeviceChange,
                              const DeviceChangeWatcher::DaemonHandler& onDaemonArrival) {
    try {
        const int fds[] = {stop.fd(), ports.fd(), socket ? socket->fd() : -1, devices ? devices->fd() : -1};
        for (;;) {
            int index = WaitForAny(fds, socket ? (devices ? 4 : 3) : 2, -1);
            if (index == 0) return 0;
            if (index == 1) {
                for (const auto& event : ports.ReadEvents()) {
                    const bool arrival = event.kind == platform::PortEvent::Kind::Arrival;
                    onDeviceChange(event.comName, arrival ? event.devicePath : std::string(), arrival);
                }
            } else if (index == 2 || index == 3) {
                // A daemon's start makes its socket and then its list of devices, a moment apart: both
                // are one arrival. Two would reconnect every device twice, the second time in the middle
                // of the first exchange after the first reconnect. A list that changes alone (a device
                // node removed and created again) is an arrival after the wait.
                platform::FileAppearanceWatcher* first = index == 2 ? socket : devices;
                platform::FileAppearanceWatcher* second = index == 2 ? devices : socket;
                bool arrived = first->ReadEvents();
                if (second) {
                    const int pair[] = {stop.fd(), second->fd()};
                    const int w = WaitForAny(pair, 2, kDaemonArrivalWindowMs);
                    if (w == 0) return 0;
                    if (w == 1) arrived = second->ReadEvents() || arrived;
                }
                if (arrived) onDaemonArrival();
            } else {
                return 1;
            }
        }
    } catch (...) {
        Trace("%s Error: Thread Crashed unexpectedly!\n", "ThreadDeviceChangeWatcher");
        return 1;
    }
}

} // namespace

int DeviceChangeWatcher::Start(const platform::SerialPortMapSources& sources, const std::string& daemonSocket,
                               Handler onDeviceChange, DaemonHandler onDaemonArrival) {
    Stop();
    if (int e = stop_.Create()) return e;
    platform::PortWatcher ports(sources);
    if (int e = ports.Start()) return e;
    std::optional<platform::FileAppearanceWatcher> socket, devices;
    if (!daemonSocket.empty()) {
        socket.emplace(daemonSocket);
        const size_t slash = daemonSocket.find_last_of('/');
        devices.emplace((slash == std::string::npos ? std::string(".") : daemonSocket.substr(0, slash)) + "/" +
                        kServedDevicesFileName);
        for (auto* watcher : {&socket, &devices})
            if (int e = (*watcher)->Start()) {
                Trace("%s Error: cannot watch %s: %d\n", "DeviceChangeWatcher::Start", (*watcher)->path().c_str(), e);
                watcher->reset();
            }
        if (!socket) devices.reset();
    }
    result_ = 0;
    try {
        thread_ = std::thread([this, ports = std::move(ports), socket = std::move(socket), devices = std::move(devices),
                               handler = std::move(onDeviceChange), daemon = std::move(onDaemonArrival)]() mutable {
            result_ = ThreadDeviceChangeWatcher(stop_, ports, socket ? &*socket : nullptr, devices ? &*devices : nullptr,
                                                handler, daemon);
        });
    } catch (const std::system_error& e) {
        return e.code().value() > 0 ? e.code().value() : EAGAIN;
    }
    return 0;
}

void DeviceChangeWatcher::Stop() {
    if (!thread_.joinable()) return;
    stop_.Set();
    thread_.join();
    stop_.Reset();
}

} // namespace zelhart::hartif
