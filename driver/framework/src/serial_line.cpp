#include "serial_line.h"

#include "zelhart/drvfw/trace.h"

#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace zelhart::drvfw {
namespace {

struct Speed {
    uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

// Errors that mean "this device has no such line or mode" rather than a failure.
bool NotSupported(int e) {
    return e == ENOTTY || e == EINVAL || e == EOPNOTSUPP;
}

template <class T> bool Read(std::span<const uint8_t> in, T* out) {
    if (in.size() < sizeof(T)) return false;
    std::memcpy(out, in.data(), sizeof(T));
    return true;
}

template <class T> NTSTATUS Write(std::span<uint8_t> out, const T& value, size_t* returned) {
    if (out.size() < sizeof(T)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(out.data(), &value, sizeof(T));
    *returned = sizeof(T);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS NtStatusFromErrno(int error) {
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case EBADF:
        return STATUS_INVALID_HANDLE;
    case ENOTTY:
        return STATUS_INVALID_DEVICE_REQUEST;
    case EACCES:
    case EPERM:
    case EBUSY:
        return STATUS_ACCESS_DENIED;
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case EIO:
    case ENXIO:
    case ENODEV:
        return STATUS_NO_SUCH_DEVICE;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

SerialLine::SerialLine(int fd) : fd_(fd) {
    // The kind of device by its major number: pseudo-terminal slaves 136-143, ttyUSB 188, ttyACM 166.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISCHR(st.st_mode)) {
        unsigned m = major(st.st_rdev);
        if (m >= 136 && m <= 143)
            kind_ = Kind::PseudoTerminal;
        else if (m == 188 || m == 166)
            kind_ = Kind::Usb;
    }
    if (::tcgetattr(fd_, &saved_) == 0) {
        savedValid_ = true;
        termios t{}; // from zero: nothing of what the port had survives but its speed
        t.c_cflag = CS8 | CREAD | CLOCAL;
        t.c_iflag = INPCK | PARMRK;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, ::cfgetispeed(&saved_));
        ::cfsetospeed(&t, ::cfgetospeed(&saved_));
        rawModeSet_ = ::tcsetattr(fd_, TCSANOW, &t) == 0 && Took(t, "raw mode");
        speed_t s = ::cfgetospeed(&t);
        for (const auto& sp : kSpeeds)
            if (sp.code == s) baud_ = sp.rate;
    }
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0 && NotSupported(errno)) {
        hasModemLines_ = false;
        if (pseudoTerminal())
            FrameworkTrace(TraceLevel::Info,
                           "serial: the device has no modem lines; DTR and RTS calls are ignored");
        else // a real port where RTS cannot key the modem: worth saying whatever the trace level
            FrameworkTrace(TraceLevel::Error,
                           "serial: the port has no modem-control lines (TIOCMGET: %s); DTR and RTS "
                           "cannot be set, a modem keyed by RTS will not transmit",
                           std::strerror(errno));
    }
    if (!pseudoTerminal()) RequestLowLatency();
}

void SerialLine::RequestLowLatency() {
    serial_struct ss{};
    if (::ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
        if (ss.flags & ASYNC_LOW_LATENCY) return;
        ss.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd_, TIOCSSERIAL, &ss) == 0) return;
    }
    FrameworkTrace(TraceLevel::Info, "serial: ASYNC_LOW_LATENCY refused (%s); received characters may come late",
                   std::strerror(errno));
}

bool SerialLine::Took(const termios& asked, const char* what) {
    termios now{};
    if (::tcgetattr(fd_, &now) != 0) return false;
    tcflag_t cmask = CSIZE | CSTOPB | CREAD | CLOCAL | CRTSCTS;
    if (!pseudoTerminal()) cmask |= PARENB | PARODD | CMSPAR; // a pseudo-terminal drops parity
    constexpr tcflag_t imask = IGNPAR | PARMRK | INPCK | IGNBRK | BRKINT | ISTRIP | IXON | IXOFF | IXANY;
    bool took = ::cfgetospeed(&now) == ::cfgetospeed(&asked) && ::cfgetispeed(&now) == ::cfgetispeed(&asked) &&
                (now.c_cflag & cmask) == (asked.c_cflag & cmask) && (now.c_iflag & imask) == (asked.c_iflag & imask);
    if (!took)
        FrameworkTrace(TraceLevel::Error,
                       "serial: the port did not take the %s: asked speed %u c_cflag 0%o c_iflag 0%o, holds "
                       "speed %u c_cflag 0%o c_iflag 0%o",
                       what, static_cast<unsigned>(::cfgetospeed(&asked)), static_cast<unsigned>(asked.c_cflag),
                       static_cast<unsigned>(asked.c_iflag), static_cast<unsigned>(::cfgetospeed(&now)),
                       static_cast<unsigned>(now.c_cflag), static_cast<unsigned>(now.c_iflag));
    return took;
}

std::optional<bool> SerialLine::TransmitterEmpty() {
    if (!lsrSupported_) return std::nullopt;
    unsigned int lsr = 0;
    if (::ioctl(fd_, TIOCSERGETLSR, &lsr) == 0) return (lsr & TIOCSER_TEMT) != 0;
    if (NotSupported(errno)) lsrSupported_ = false;
    return std::nullopt;
}

SerialLine::~SerialLine() {
    if (kernelRs485_) {
        serial_rs485 rs{};
        ::ioctl(fd_, TIOCSRS485, &rs);
    }
    if (savedValid_) ::tcsetattr(fd_, TCSANOW, &saved_);
}

NTSTATUS SerialLine::Apply(const termios& t) {
    return ::tcsetattr(fd_, TCSANOW, &t) == 0 ? STATUS_SUCCESS : NtStatusFromErrno(errno);
}

NTSTATUS SerialLine::SetBaudRate(uint32_t rate) {
    for (const auto& sp : kSpeeds) {
        if (sp.rate != rate) continue;
        termios t;
        if (::tcgetattr(fd_, &t) != 0) return NtStatusFromErrno(errno);
        ::cfsetspeed(&t, sp.code);
        NTSTATUS s = Apply(t);
        if (NT_SUCCESS(s) && !Took(t, "speed")) s = STATUS_NOT_SUPPORTED;
        if (NT_SUCCESS(s)) baud_ = rate;
        return s;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS SerialLine::SetLineControl(const SERIAL_LINE_CONTROL& lc) {
    if (lc.WordLength < 5 || lc.WordLength > 8 || lc.Parity > SPACE_PARITY || lc.StopBits > STOP_BITS_2)
        return STATUS_INVALID_PARAMETER;
    termios t;
    if (::tcgetattr(fd_, &t) != 0) return NtStatusFromErrno(errno);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.c_cflag |= kSizes[lc.WordLength - 5];
    if (lc.StopBits != STOP_BIT_1) t.c_cflag |= CSTOPB;
    switch (lc.Parity) {
    case ODD_PARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVEN_PARITY:
        t.c_cflag |= PARENB;
        break;
    case MARK_PARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACE_PARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    NTSTATUS s = Apply(t);
    if (NT_SUCCESS(s) && !Took(t, "line control")) s = STATUS_NOT_SUPPORTED;
    if (NT_SUCCESS(s)) lineControl_ = lc;
    return s;
}

NTSTATUS SerialLine::ModemLine(int bits, bool on, const char* what) {
    if (!hasModemLines_) return STATUS_SUCCESS; // traced once when the line was opened
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return STATUS_SUCCESS;
    int e = errno;
    if (NotSupported(e)) {
        if (!modemLineTraced_)
            FrameworkTrace(TraceLevel::Info, "serial: %s %s refused (%s); ignored",
                           on ? "raising" : "dropping", what, std::strerror(e));
        modemLineTraced_ = true;
        return STATUS_SUCCESS;
    }
    return NtStatusFromErrno(e);
}

void SerialLine::SetRts(bool on) {
    ModemLine(TIOCM_RTS, on, "RTS");
}

NTSTATUS SerialLine::SetHandFlow(const SERIAL_HANDFLOW& hf) {
    termios t;
    if (::tcgetattr(fd_, &t) != 0) return NtStatusFromErrno(errno);
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF);
    uint32_t rts = hf.FlowReplace & SERIAL_RTS_MASK;
    if ((hf.ControlHandShake & SERIAL_CTS_HANDSHAKE) || rts == SERIAL_RTS_HANDSHAKE) t.c_cflag |= CRTSCTS;
    if (hf.FlowReplace & SERIAL_AUTO_TRANSMIT) t.c_iflag |= IXON;
    if (hf.FlowReplace & SERIAL_AUTO_RECEIVE) t.c_iflag |= IXOFF;
    NTSTATUS s = Apply(t);
    if (!NT_SUCCESS(s)) return s;

    // DTR: raised for "control" (and for the handshake, which has no termios equivalent).
    uint32_t dtr = hf.ControlHandShake & SERIAL_DTR_MASK;
    if (dtr == SERIAL_DTR_HANDSHAKE)
        FrameworkTrace(TraceLevel::Info, "serial: DTR handshake not supported; DTR raised");
    if (NTSTATUS d = ModemLine(TIOCM_DTR, dtr != 0, "DTR"); !NT_SUCCESS(d)) s = d;

    // RTS: transmit toggle through the kernel's RS-485 mode, else by hand around each write.
    bool toggle = rts == SERIAL_TRANSMIT_TOGGLE;
    serial_rs485 rs{};
    if (toggle) rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (toggle || kernelRs485_) {
        if (::ioctl(fd_, TIOCSRS485, &rs) == 0) {
            kernelRs485_ = toggle;
        } else {
            kernelRs485_ = false;
            if (toggle && hasModemLines_)
                FrameworkTrace(TraceLevel::Info,
                               "serial: no RS-485 mode (%s); RTS is toggled around each write",
                               std::strerror(errno));
            else if (toggle)
                FrameworkTrace(TraceLevel::Info, "serial: no RS-485 mode and no modem lines; RTS is not toggled");
        }
    }
    softwareRtsToggle_ = toggle && !kernelRs485_ && hasModemLines_;
    if (!kernelRs485_ && rts != SERIAL_RTS_HANDSHAKE) {
        if (NTSTATUS r = ModemLine(TIOCM_RTS, rts == SERIAL_RTS_CONTROL, "RTS"); !NT_SUCCESS(r)) s = r;
    }
    if (NT_SUCCESS(s)) handFlow_ = hf;
    return s;
}

NTSTATUS SerialLine::Purge(uint32_t mask) {
    int queue = -1;
    bool rx = mask & SERIAL_PURGE_RXCLEAR, tx = mask & SERIAL_PURGE_TXCLEAR;
    if (rx && tx)
        queue = TCIOFLUSH;
    else if (rx)
        queue = TCIFLUSH;
    else if (tx)
        queue = TCOFLUSH;
    if (queue >= 0 && ::tcflush(fd_, queue) != 0) return NtStatusFromErrno(errno);
    return STATUS_SUCCESS;
}

NTSTATUS SerialLine::Ioctl(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                           size_t* returned) {
    *returned = 0;
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        SERIAL_BAUD_RATE b;
        return Read(in, &b) ? SetBaudRate(b.BaudRate) : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return Write(out, SERIAL_BAUD_RATE{baud_}, returned);
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL lc;
        return Read(in, &lc) ? SetLineControl(lc) : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return Write(out, lineControl_, returned);
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW hf;
        return Read(in, &hf) ? SetHandFlow(hf) : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_GET_HANDFLOW:
        return Write(out, handFlow_, returned);
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        // Reads are driven by the event loop and end with the first character, which is what all-zero
        // time-outs ask for; other values are kept for GET_TIMEOUTS only.
        return Read(in, &timeouts_) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return Write(out, timeouts_, returned);
    case IOCTL_SERIAL_SET_DTR:
        return ModemLine(TIOCM_DTR, true, "DTR");
    case IOCTL_SERIAL_CLR_DTR:
        return ModemLine(TIOCM_DTR, false, "DTR");
    case IOCTL_SERIAL_SET_RTS:
        return ModemLine(TIOCM_RTS, true, "RTS");
    case IOCTL_SERIAL_CLR_RTS:
        return ModemLine(TIOCM_RTS, false, "RTS");
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return Read(in, &waitMask_) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return Write(out, waitMask_, returned);
    case IOCTL_SERIAL_SET_FIFO_CONTROL: {
        uint32_t fcr; // the UART's FIFO is the kernel driver's business; accepted as it stands
        return Read(in, &fcr) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_PURGE: {
        uint32_t mask;
        return Read(in, &mask) ? Purge(mask) : STATUS_BUFFER_TOO_SMALL;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

int64_t SerialLine::CharacterTimeNs() const {
    int bits = 1 + lineControl_.WordLength + (lineControl_.Parity != NO_PARITY ? 1 : 0) +
               (lineControl_.StopBits != STOP_BIT_1 ? 2 : 1);
    return static_cast<int64_t>(bits) * 1000000000 / (baud_ ? baud_ : 9600);
}

} // namespace zelhart::drvfw
