#include "zelhart/platform/serial_port.h"

#include "zelhart/platform/remote_port.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace zelhart::platform {

ExclusiveSerialPort& ExclusiveSerialPort::operator=(ExclusiveSerialPort&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::move(other.fd_);
    }
    return *this;
}

ExclusiveSerialPort::~ExclusiveSerialPort() { Close(); }

int ExclusiveSerialPort::Open(const std::string& devicePath) {
    Close();
    UniqueFd fd(::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno == EACCES || errno == EBUSY ? EBUSY : errno;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    // Not every device is a terminal; the flock above is what holds then.
    if (::ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
    fd_ = std::move(fd);
    return 0;
}

void ExclusiveSerialPort::Close() {
    if (!fd_) return;
    ::ioctl(fd_.get(), TIOCNXCL);
    fd_.reset(); // the flock goes with the last descriptor
}

PortProbe ProbeSerialDevice(const std::string& devicePath) {
    ExclusiveSerialPort port;
    const int rc = port.Open(devicePath);
    if (rc == 0) return PortProbe::Free;
    // Open reports a refused open as EBUSY, as a port in use is refused elsewhere; whether this user
    // has no right to the device node is asked separately.
    if (rc == EACCES || rc == EPERM ||
        (rc == EBUSY && ::access(devicePath.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)))
        return PortProbe::NoAccess;
    return rc == ENOENT || rc == ENXIO || rc == ENODEV ? PortProbe::Missing : PortProbe::Busy;
}

PortProbe ProbeComPort(int number, const SerialPortMapSources& sources) {
    auto path = LookupComPort(number, sources);
    if (path) return ProbeSerialDevice(*path);
    // A remote port has no device node: it exists, and its server says whether it is busy.
    return LookupRemotePort(number, sources) ? PortProbe::Free : PortProbe::Missing;
}

PortProbe ProbeComPort(int number) { return ProbeComPort(number, DefaultSerialPortMapSources()); }

} // namespace zelhart::platform
