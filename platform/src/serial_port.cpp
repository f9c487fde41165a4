#include "zelhart/platform/serial_port.h"

#include "zelhart/platform/remote_port.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

namespace {

constexpr size_t kMaxLockLines = 100000; // /proc/locks of a busy machine has a few hundred
constexpr size_t kMaxLockFileBytes = 64;

// "00:05:1234" (major and minor in hex, inode in decimal) as /proc/locks writes a locked file.
bool SameFile(std::string_view id, const struct stat& st) {
    unsigned long major = 0, minor = 0, inode = 0;
    const char* p = id.data();
    const char* end = id.data() + id.size();
    auto field = [&](unsigned long& v, int base, bool colon) {
        auto [q, ec] = std::from_chars(p, end, v, base);
        if (ec != std::errc() || (colon && (q == end || *q != ':'))) return false;
        p = colon ? q + 1 : q;
        return true;
    };
    if (!field(major, 16, true) || !field(minor, 16, true) || !field(inode, 10, false) || p != end) return false;
    return major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino;
}

// Whether /proc/locks shows a lock held (not waited for) on the file.
bool LockedInProc(const std::string& procLocks, const struct stat& st) {
    std::ifstream in(procLocks);
    std::string line;
    for (size_t count = 0; count < kMaxLockLines && std::getline(in, line); ++count) {
        // "1: FLOCK  ADVISORY  WRITE 4242 00:05:6 0 EOF"; a waiter's line has "->" after the number.
        std::istringstream words(line);
        std::string number, type, mode, access, pid, id;
        if (!(words >> number >> type) || type == "->") continue;
        if (!(words >> mode >> access >> pid >> id)) continue;
        if (SameFile(id, st)) return true;
    }
    return false;
}

bool ProcessLives(long pid) {
    if (pid <= 0 || pid > INT_MAX) return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// A UUCP lock file for the device (LCK..ttyUSB0; LCK..pts_3 for /dev/pts/3) whose process lives. The
// pid is written in ASCII by today's tools, as a 4-byte integer by old ones.
bool LockedByLockFile(const std::vector<std::string>& dirs, const std::string& canonicalPath) {
    std::string name = canonicalPath.starts_with("/dev/") ? canonicalPath.substr(5) : canonicalPath;
    const size_t slash = name.find_last_of('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    for (const std::string& dir : dirs) {
        for (const std::string& candidate : {name, base}) {
            std::ifstream in(dir + "/LCK.." + candidate, std::ios::binary);
            if (!in) continue;
            char buf[kMaxLockFileBytes + 1] = {};
            in.read(buf, kMaxLockFileBytes);
            const size_t n = size_t(in.gcount());
            long pid = 0;
            std::string_view text(buf, n);
            const size_t digit = text.find_first_not_of(" \t");
            if (digit != std::string_view::npos && text[digit] >= '0' && text[digit] <= '9') {
                std::from_chars(text.data() + digit, text.data() + text.size(), pid);
            } else if (n == sizeof(int32_t)) {
                int32_t binary = 0;
                std::memcpy(&binary, buf, sizeof binary);
                pid = binary;
            }
            if (ProcessLives(pid)) return true;
        }
    }
    return false;
}

std::string CanonicalPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

} // namespace

PortProbe ProbeSerialDevice(const std::string& devicePath, const PortLockSources& locks) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) return PortProbe::Missing;
    if (LockedInProc(locks.procLocks, st) || LockedByLockFile(locks.uucpLockDirs, CanonicalPath(devicePath)))
        return PortProbe::Busy;
    if (::access(devicePath.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM))
        return PortProbe::NoAccess;
    return PortProbe::Free;
}

PortProbe ProbeSerialDevice(const std::string& devicePath) { return ProbeSerialDevice(devicePath, {}); }

PortProbe ProbeComPort(int number, const SerialPortMapSources& sources) {
    auto path = LookupComPort(number, sources);
    if (path) return ProbeSerialDevice(*path);
    // A remote port has no device node: it exists, and its server says whether it is busy.
    return LookupRemotePort(number, sources) ? PortProbe::Free : PortProbe::Missing;
}

PortProbe ProbeComPort(int number) { return ProbeComPort(number, DefaultSerialPortMapSources()); }

} // namespace zelhart::platform
