// Opening a serial port exclusively (the driver daemon and test tools), and the busy test of the
// programs, which reads the locks that holders take without opening the port.
//
// Every part of the product that holds a port takes the same two locks: an advisory flock(LOCK_EX) on
// the device, which also holds against root and within one process, and the terminal's TIOCEXCL, which
// keeps other programs that do not know the flock convention out.
#pragma once

#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <string>
#include <vector>

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

// The COM probe never opens the device: on a real port the kernel raises DTR and RTS at every open
// and drops them at the close, a burst on the modem's carrier, and a modem powered from those lines
// loses its power just before the driver daemon opens the port. It asks instead:
//   Missing:  the device node (or the link naming it) is not there;
//   Busy:     another process holds a lock on the device: a flock, POSIX or OFD lock in /proc/locks
//             (every part of the product flocks the ports it holds, the driver daemon included), or a
//             UUCP lock file LCK..<name> in /run/lock or /var/lock whose process lives (minicom, cu);
//   NoAccess: the device is there but this user may not open it (access(2): no dialout group, a
//             terminal of another user). The driver daemon owns the serial ports and opens them
//             itself, so for such a user the port counts as usable, and the daemon says whether it
//             can be opened;
//   Free:     none of these.
// A holder that takes no lock at all (only TIOCEXCL) is not seen here; the daemon's own open of the
// port then fails, and it says so in its trace.
enum class PortProbe { Free, Busy, Missing, NoAccess };

// Where the probe looks for locks (the running system's by default; tests give their own).
struct PortLockSources {
    std::string procLocks = "/proc/locks";
    std::vector<std::string> uucpLockDirs = {"/run/lock", "/var/lock"};
};

// What the probe says of `devicePath`; nothing is opened but the lock tables.
PortProbe ProbeSerialDevice(const std::string& devicePath, const PortLockSources& locks);
PortProbe ProbeSerialDevice(const std::string& devicePath);
// The COM probe: is COM<number> in the map, and what ProbeSerialDevice says of its device.
PortProbe ProbeComPort(int number, const SerialPortMapSources& sources);
PortProbe ProbeComPort(int number);

} // namespace zelhart::platform
