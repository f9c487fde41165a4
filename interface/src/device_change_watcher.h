// The watcher thread: follows serial ports coming and going (platform::PortWatcher) and hands each
// change to the library as the port's COM name, the device behind it and arrival or removal; and
// tells the library when the driver daemon's socket appears (the daemon started, or started again)
// or the daemon's list of served devices beside it is put in place anew (device nodes removed and
// created again while it runs).
#pragma once

#include "events.h"

#include "zelhart/platform/serial_port_map.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace zelhart::hartif {

// Beside the daemon's socket: the function devices it serves, replaced whenever they change.
inline constexpr char kServedDevicesFileName[] = "devices";

class DeviceChangeWatcher {
public:
    // serialDeviceName: the port's device path on arrival, empty on removal.
    using Handler = std::function<void(const std::string& portName, const std::string& serialDeviceName, bool arrival)>;
    using DaemonHandler = std::function<void()>;

    DeviceChangeWatcher() = default;
    ~DeviceChangeWatcher() { Stop(); }
    DeviceChangeWatcher(const DeviceChangeWatcher&) = delete;
    DeviceChangeWatcher& operator=(const DeviceChangeWatcher&) = delete;

    // Takes the first picture of the ports (so that any change after Start returns is reported) and
    // starts the thread. `daemonSocket` (when not empty) is watched for appearing, and so is the
    // served devices' file in its directory; either calls onDaemonArrival. 0, or an errno
    // value when the port watch or the thread could not be set up (without the socket watch the
    // thread runs all the same).
    int Start(const platform::SerialPortMapSources& sources, const std::string& daemonSocket, Handler onDeviceChange,
              DaemonHandler onDaemonArrival);
    // Ends the thread and waits for it.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    // 0 after a normal stop, 1 when the thread ended on an error.
    int Result() const { return result_.load(); }

private:
    ManualResetEvent stop_;
    std::thread thread_;
    std::atomic<int> result_{0};
};

} // namespace zelhart::hartif
