#include "hart/hart_driver.h"

#include "hart/driver_socket.h"

#include <zelhart/platform/modem_lines.h>
#include <zelhart/platform/remote_port.h>
#include <zelhart/platform/serial_port.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <string>
#include <system_error>

namespace zelhart::hart {
namespace {

// The configuration record as four 16-bit values 0x0000, 0x0060, 0x0004, 0x0006: secondary master,
// 4 retries (only the low byte of each 32-bit word counts).
constexpr HartConfig kLinkConfig{0x00600000u, 0x00060004u};

template <typename Fn> bool Bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(library, name));
    return fn != nullptr;
}

// The file the program loads: $ZELHART_INTERFACE_LIBRARY, or the library by its name.
const char* LibraryFile() {
    const char* standIn = std::getenv(kInterfaceLibraryEnv);
    return (standIn && *standIn) ? standIn : kInterfaceLibraryName;
}

// Whether `file` is the driver's own interface library (by its name, or a versioned name of it such as
// libZelHartDriverInterface.so.1), which reaches the daemon through its socket (stand-ins such as the
// simulator's loopback bring their own transport).
bool IsDriverLibrary(std::string_view file) {
    const size_t slash = file.rfind('/');
    const std::string_view base = file.substr(slash == std::string_view::npos ? 0 : slash + 1);
    const std::string_view name = kInterfaceLibraryName;
    return base.starts_with(name) && (base.size() == name.size() || base[name.size()] == '.');
}

// Why the daemon cannot be reached, or nothing when it listens.
std::string DriverProblem() {
    const std::string path = DriverSocketPath();
    const int error = ProbeDriverSocket(path);
    if (error == 0) return {};
    if (error == ENOENT || error == ECONNREFUSED)
        return "Драйвер ZelHartDriver не запущен: никто не слушает сокет " + path;
    if (error == EACCES || error == EPERM)
        return "Нет доступа к драйверу ZelHartDriver: вы не входите в группу " + DriverSocketGroup(path) +
               " (сокет " + path + ")";
    return "Нет связи с драйвером ZelHartDriver через сокет " + path + ": " +
           std::system_category().message(error);
}

// The daemon's record of COM<port> as the map has it now: a port without modem-control lines.
std::string ModemLinesCaution(int port) {
    const auto path = platform::LookupComPort(port, platform::DefaultSerialPortMapSources());
    if (!path || !platform::LacksModemLines(platform::ModemLinesDir(), port, *path)) return {};
    return "У порта COM" + std::to_string(port) + " (" + *path +
           ") нет линий управления модемом: RTS не переключается, и модем, который включает передатчик "
           "по RTS, не передаёт запросы";
}

// What the port map gives COM<port>, with its owner and mode, for a failed hart_open: the daemon opens
// the device under its own user, and a terminal device of another user (a simulator's, root:tty 0620)
// is the usual cause. The daemon's journal names the system's reason; this names the path to look at.
std::string PortDeviceNote(int port, bool driverLibrary) {
    const auto path = platform::LookupComPort(port, platform::DefaultSerialPortMapSources());
    if (!path) return {};
    std::string note = "; COM" + std::to_string(port) + " — это " + *path;
    struct stat st{};
    if (::stat(path->c_str(), &st) == 0) {
        const passwd* user = ::getpwuid(st.st_uid);
        const group* grp = ::getgrgid(st.st_gid);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        note += " (" + (user ? std::string(user->pw_name) : std::to_string(st.st_uid)) + ":" +
                (grp ? std::string(grp->gr_name) : std::to_string(st.st_gid)) + ", " + mode + ")";
    } else {
        note += " (" + std::string(std::strerror(errno)) + ")";
    }
    if (driverLibrary) note += "; почему драйвер не открыл его, сказано в журнале ZelHartDriver";
    return note;
}

std::string LoaderText(const char* fallback) {
    const char* text = ::dlerror();
    return text ? std::string(text) : std::string(fallback);
}

} // namespace

int CHARTDriver::Result(int result, std::string why) {
    failure_ = result == 0 ? std::string() : std::move(why);
    return result;
}

CHARTDriver::~CHARTDriver() = default;

int CHARTDriver::LoadInterfaceLibrary() {
    open_ = nullptr;
    configure_ = nullptr;
    subscribe_ = nullptr;
    register_ = nullptr;
    write_ = nullptr;
    read_ = nullptr;
    close_ = nullptr;
    ::dlerror(); // forget an earlier loader error
    library_ = ::dlopen(LibraryFile(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        failure_ = LoaderText("библиотеку интерфейса нельзя загрузить");
        return 0;
    }

    int lastMissing = 0;
    std::string missing;
    auto bind = [&](const char* name, auto& fn, int position) {
        if (Bind(library_, name, fn)) return;
        lastMissing = position;
        missing = LoaderText(name);
    };
    bind("hart_open", open_, 1);
    bind("hart_configure", configure_, 2);
    bind("hart_subscribe", subscribe_, 3);
    bind("hart_register", register_, 4);
    bind("hart_write", write_, 5);
    bind("hart_read", read_, 6);
    bind("hart_close", close_, 7);
    failure_ = missing;
    return lastMissing;
}

int CHARTDriver::OpenPort(int port) {
    const std::string com = "COM" + std::to_string(port);
    const std::string name = "HART" + std::to_string(port);
    caution_.clear();
    // The COM probe asks the port map and the lock tables and never opens the device: the daemon
    // alone opens the port, so its modem lines rise once, for the daemon.
    switch (platform::ProbeComPort(port)) {
    case platform::PortProbe::Free:
    case platform::PortProbe::NoAccess: // the daemon opens the port, not this user
        break;
    case platform::PortProbe::Busy:
        return Result(kPortUnusable, "Порт " + com + " занят другой программой");
    case platform::PortProbe::Missing:
        return Result(kPortUnusable, "Порт " + com + " не найден");
    }
    if (!bound_) {
        if (LoadInterfaceLibrary() != 0) return Result(kPortUnusable, failure_);
        // The library could not be loaded; the next open tries again.
        if (!open_) return Result(kNotBound, failure_);
        bound_ = true;
        driverLibrary_ = IsDriverLibrary(LibraryFile());
    }
    // A remote port is served over HART-IP by the library itself: no daemon is needed on this machine.
    if (driverLibrary_ && !platform::LookupRemotePort(port, platform::DefaultSerialPortMapSources()))
        if (std::string problem = DriverProblem(); !problem.empty()) return Result(kNoDriver, problem);
    const int rc = open_(name.c_str(), &deviceIndex_);
    // The daemon has opened the port by now and left its record of the modem lines.
    if (rc == 0) caution_ = ModemLinesCaution(port);
    return Result(rc, "hart_open(\"" + name + "\") вернула " + std::to_string(rc) +
                          (rc == 0 ? std::string() : PortDeviceNote(port, driverLibrary_)));
}

int CHARTDriver::ConfigurePort() {
    if (!configure_) return Result(kNotBound, "библиотека интерфейса не загружена");
    const int rc = configure_(deviceIndex_, &kLinkConfig);
    return Result(rc, "hart_configure вернула " + std::to_string(rc));
}

void CHARTDriver::SetRequest(std::span<const uint8_t> frame) {
    const size_t n = std::min(frame.size(), sizeof(transmit_.Data));
    std::memset(transmit_.Data, 0, sizeof(transmit_.Data));
    std::memcpy(transmit_.Data, frame.data(), n);
    transmit_.Length = uint16_t(n);
}

int CHARTDriver::WriteRequest() {
    if (!write_) return kNotBound;
    return write_(deviceIndex_, &transmit_);
}

size_t CHARTDriver::ReadResponse(std::span<uint8_t, HART_MESSAGE_DATA_SIZE> buffer) {
    std::memset(receive_.Data, 0, sizeof(receive_.Data));
    if (!read_) return 0;
    const int32_t rc = read_(deviceIndex_, &receive_);
    std::memcpy(buffer.data(), receive_.Data, sizeof(receive_.Data));
    return rc == HDRV_SUCCESS ? receive_.Length : 0;
}

void CHARTDriver::DrainInput() {
    if (!read_) return;
    for (int i = 0; i < kDrainReads; ++i)
        if (read_(deviceIndex_, &receive_) != HDRV_SUCCESS) break;
}

int CHARTDriver::ClosePort() {
    if (!close_) return Result(kNotBound, "библиотека интерфейса не загружена");
    const int rc = close_(deviceIndex_);
    return Result(rc, "hart_close вернула " + std::to_string(rc));
}

} // namespace zelhart::hart
