// Opening a serial port exclusively, and the busy test built on it.
//
// Every part of the product that holds a port takes the same two locks: an advisory flock(LOCK_EX) on
// the device, which also holds against root and within one process, and the terminal's TIOCEXCL, which
// keeps other programs that do not know the flock convention out.
#pragma once

#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <string>

namespace zelhart::platform {

class ExclusiveSerialPort {
public:
    ExclusiveSerialPort() = default;
    ExclusiveSerialPort(ExclusiveSerialPort&&) noexcept = default;
    ExclusiveSerialPort& operator=(ExclusiveSerialPort&& other) noexcept;
    ~ExclusiveSerialPort();

    // Opens the device read/write, non-blocking, without becoming its controlling terminal, and takes
    // both locks. Returns 0, EBUSY when another holder has it, or the errno of the failed step
    // (ENOENT for a missing device).
    int Open(const std::string& devicePath);
    // Drops TIOCEXCL (it would outlive us on a terminal whose other side stays open) and closes.
    void Close();

    bool IsOpen() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// NoAccess: the device is there but this user may not open it (EACCES, EPERM). The driver daemon owns
// the serial ports and opens them itself, so a user without the right to the device node (not in
// the dialout group, a terminal of another user) still reaches the port through the daemon: for
// such a user the port counts as usable, and the daemon says whether it is busy.
enum class PortProbe { Free, Busy, Missing, NoAccess };

// Could `devicePath` be opened exclusively right now? Released again at once.
PortProbe ProbeSerialDevice(const std::string& devicePath);
// The COM probe: is COM<number> in the map, and what ProbeSerialDevice says of its device.
PortProbe ProbeComPort(int number, const SerialPortMapSources& sources);
PortProbe ProbeComPort(int number);

} // namespace zelhart::platform
