#include "device_change_watcher.h"

#include "trace.h"

#include "zelhart/platform/port_watcher.h"
#include "zelhart/platform/socket_watcher.h"

#include <cerrno>
#include <optional>
#include <system_error>

namespace zelhart::hartif {
namespace {

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
            } else if (index == 2) {
                if (socket->ReadEvents()) onDaemonArrival();
            } else if (index == 3) {
                if (devices->ReadEvents()) onDaemonArrival();
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
