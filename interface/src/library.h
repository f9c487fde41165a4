// The library's process-wide state and the work behind the seven exports.
//
// The shared library attaches when it is loaded and detaches when it is unloaded; tests attach and
// detach explicitly with a device I/O of their own and private port directories.
#pragma once

#include "controller_table.h"
#include "device_change_watcher.h"
#include "device_io.h"
#include "function_device.h"

#include "zelhart/hart_api.h"
#include "zelhart/platform/serial_port_map.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace zelhart::hartif {

struct LibraryOptions {
    std::shared_ptr<IDeviceIo> deviceIo;                       // null: DefaultDeviceIo()
    std::optional<platform::SerialPortMapSources> portSources; // none: the running system's
    bool watchPorts = true;
    std::optional<std::string> daemonSocket; // watched for the daemon starting; none: the socket path
                                             // of the runtime directory; "": not watched
};

class Library {
public:
    explicit Library(LibraryOptions options);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    int32_t Open(const char* name, uint16_t* index);
    int32_t Configure(uint32_t index, const HartConfig* config);
    int32_t Subscribe(uint32_t index, uint32_t flags);
    int32_t Register(uint32_t index, const AppRegistryInfo* reg);
    int32_t Write(uint32_t index, const HartMessage* request);
    int32_t Read(uint32_t index, HartMessage* record);
    int32_t Close(uint32_t index);

    // A port arrived or was removed: the first controller of that COM port is told.
    void OnDeviceChange(const std::string& portName, const std::string& serialDeviceName, bool arrival);
    // The daemon's socket appeared: the function device is opened afresh and every device is
    // reconnected as on the arrival of its port.
    void OnDaemonArrival();

    ControllerTable& Table() { return table_; }
    FunctionDevice& Function() { return functionDevice_; }
    bool WatcherRunning() const { return watcher_.Running(); }

private:
    void CatchUpWithPort(CHartModemController& controller);
    // The device path the serial port map has for a COM name; nothing for another name.
    std::optional<std::string> SerialDeviceOf(const std::string& port) const;
    // The daemon as the files of its start show it: its socket and its list of served devices.
    struct DaemonIdentity {
        unsigned long long socketDev = 0, socketIno = 0, devicesDev = 0, devicesIno = 0;
        bool operator==(const DaemonIdentity&) const = default;
    };
    // Waits (a moment at most) for the list of served devices that belongs to the socket, then says
    // what both are.
    DaemonIdentity CurrentDaemon() const;

    platform::SerialPortMapSources sources_;
    std::shared_ptr<IDeviceIo> io_;
    std::string daemonSocket_;
    std::optional<DaemonIdentity> lastDaemon_; // the one the devices were last reconnected to (watcher thread only)
    FunctionDevice functionDevice_;
    ControllerTable table_;
    // hart_open and hart_close take their slots one at a time; a device being closed keeps its path in
    // closing_ until it has let go of the device, and an open of that path waits for that (an open of
    // any other device does not).
    std::mutex openClose_;
    std::condition_variable closed_;
    std::multiset<std::string> closing_;
    DeviceChangeWatcher watcher_;
};

// Load and unload. Attaching twice replaces the first state.
void LibraryAttach(LibraryOptions options = {});
void LibraryDetach();
Library* CurrentLibrary();

} // namespace zelhart::hartif
