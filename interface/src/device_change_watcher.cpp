#include "device_change_watcher.h"

#include "trace.h"

#include "zelhart/platform/port_watcher.h"

#include <cerrno>
#include <system_error>

namespace zelhart::hartif {
namespace {

// ThreadDeviceChangeWatcher: waits on the stop event and the port watcher, stop first.
int ThreadDeviceChangeWatcher(const ManualResetEvent& stop, platform::PortWatcher& ports,
                              const DeviceChangeWatcher::Handler& onDeviceChange) {
    try {
        const int fds[] = {stop.fd(), ports.fd()};
        for (;;) {
            int index = WaitForAny(fds, 2, -1);
            if (index == 0) return 0;
            if (index != 1) return 1;
            for (const auto& event : ports.ReadEvents()) {
                const bool arrival = event.kind == platform::PortEvent::Kind::Arrival;
                onDeviceChange(event.comName, arrival ? event.devicePath : std::string(), arrival);
            }
        }
    } catch (...) {
        Trace("%s Error: Thread Crashed unexpectedly!\n", "ThreadDeviceChangeWatcher");
        return 1;
    }
}

} // namespace

int DeviceChangeWatcher::Start(const platform::SerialPortMapSources& sources, Handler onDeviceChange) {
    Stop();
    if (int e = stop_.Create()) return e;
    platform::PortWatcher ports(sources);
    if (int e = ports.Start()) return e;
    result_ = 0;
    try {
        thread_ = std::thread([this, ports = std::move(ports), handler = std::move(onDeviceChange)]() mutable {
            result_ = ThreadDeviceChangeWatcher(stop_, ports, handler);
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
