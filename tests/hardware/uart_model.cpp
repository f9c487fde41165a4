// A model of real serial hardware under the daemon's serial port, for tests (never shipped).
//
// Preloaded into ZelHartDriver (LD_PRELOAD), it takes over the descriptor the daemon opens on a
// simulator's pseudo-terminal and gives it what a real port has and a pseudo-terminal lacks: a line
// rate (11 bits a character at the port's speed), modem lines, a transmitter that TIOCOUTQ and
// TIOCSERGETLSR report on, parity as the port was set, and the kernel's input processing of line
// errors (IGNPAR, INPCK, PARMRK). The daemon gets its own pseudo-terminal pair's slave, whose input this
// model feeds; what the daemon writes goes through the modelled transmitter to the simulator's port.
//
// ZELHART_UART_MODEL="kind=16550,echo=1,grid=16,log=FILE,parity=N,program=NAME"
//   kind     ideal: no FIFO, TIOCOUTQ counts every character not yet sent;
//            16550: a 16-byte transmit FIFO that TIOCOUTQ does not count;
//            usb:   an adapter that takes written bytes within 1 ms, has no TIOCSERGETLSR and delivers
//                   received bytes in bursts every `grid` ms (ttyUSB major number).
//   echo=1   transmitted characters come back on the receive side (an echoing modem).
//   nolines=1 no modem-control lines (TIOCMGET fails with EINVAL); the modem keys itself.
//   nolines=rts no modem-control lines, and the modem is keyed by RTS: it never transmits.
//   parity=N the N-th character from the simulator (from 1) arrives with a parity error.
//   log      one line per RTS edge ("RTS 0 unsent=N") and per character lost ("LOST xx"), per
//            ASYNC_LOW_LATENCY request ("LOWLAT") and output flush ("FLUSH").
//   program  the program whose descriptors are taken over (default ZelHartDriver).
// The transmitter is keyed by RTS: the simulator hears only characters whose last stop bit left
// while RTS was up.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

template <class F> F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using TcGetFn = int (*)(int, termios*);
using TcSetFn = int (*)(int, int, const termios*);
using TcIntFn = int (*)(int);
using TcFlushFn = int (*)(int, int);
using FstatFn = int (*)(int, struct stat*);

enum class Kind { Ideal, Uart16550, Usb };

struct Config {
    bool active = false;
    Kind kind = Kind::Ideal;
    bool echo = false;
    bool noLines = false;
    bool keyedByRts = true; // without lines: false when the modem keys itself
    int gridMs = 16;
    long parityAt = 0;
    std::string log;
};

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Config ReadConfig() {
    Config c;
    const char* env = std::getenv("ZELHART_UART_MODEL");
    if (!env) return c;
    std::string program = "ZelHartDriver";
    std::string text = env;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(at, end - at);
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq), value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "kind") c.kind = value == "16550" ? Kind::Uart16550 : value == "usb" ? Kind::Usb : Kind::Ideal;
        if (key == "echo") c.echo = value == "1";
        if (key == "nolines") {
            c.noLines = value == "1" || value == "rts";
            c.keyedByRts = value == "rts";
        }
        if (key == "grid") c.gridMs = std::max(1, std::atoi(value.c_str()));
        if (key == "parity") c.parityAt = std::atol(value.c_str());
        if (key == "log") c.log = value;
        if (key == "program") program = value;
        at = end + 1;
    }
    c.active = program == program_invocation_short_name;
    return c;
}

const Config& Cfg() {
    static const Config config = ReadConfig();
    return config;
}

struct Port {
    int daemonFd = -1, masterFd = -1, realFd = -1;
    std::mutex m;
    termios tio{};
    std::deque<std::pair<uint8_t, int64_t>> kbuf; // the kernel's buffer: byte, time written
    std::deque<std::pair<uint8_t, int64_t>> fifo; // the UART's FIFO or the adapter: byte, time taken
    bool shifting = false;
    uint8_t shiftChar = 0;
    int64_t shiftEnd = 0, lastEnd = 0;
    bool rts = false, dtr = false, lowLatency = false;
    std::deque<std::pair<uint8_t, bool>> rx; // received, not delivered yet: byte, parity error
    long rxCount = 0;
    int64_t nextDelivery = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
    FILE* log = nullptr;

    int64_t CharNs() const {
        speed_t s = ::cfgetospeed(&tio);
        long baud = s == B1200 ? 1200 : s == B2400 ? 2400 : s == B4800 ? 4800 : s == B9600 ? 9600 : s == B19200 ? 19200 : 9600;
        int bits = 1 + 8 + ((tio.c_cflag & PARENB) ? 1 : 0) + ((tio.c_cflag & CSTOPB) ? 2 : 1);
        static constexpr int sizes[] = {5, 6, 7, 8};
        bits += sizes[(tio.c_cflag & CSIZE) >> 4 & 3] - 8;
        return static_cast<int64_t>(bits) * 1'000'000'000 / baud;
    }
    size_t Unsent() const { return kbuf.size() + fifo.size() + (shifting ? 1 : 0); }
    void Log(const char* format, ...) {
        if (!log) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(log, format, args);
        va_end(args);
        std::fflush(log);
    }
    void Heard(uint8_t c, int64_t at);
    void Advance(int64_t now);
    void Deliver(int64_t now);
};

Port* ports[4096];

Port* Find(int fd) {
    return fd >= 0 && fd < 4096 ? __atomic_load_n(&ports[fd], __ATOMIC_ACQUIRE) : nullptr;
}

void Port::Heard(uint8_t c, int64_t) {
    if (!rts && (!Cfg().noLines || Cfg().keyedByRts)) { // nolines=1: a modem that keys itself
        Log("LOST %02x\n", c);
        return;
    }
    static WriteFn realWrite = Next<WriteFn>("write");
    (void)!realWrite(realFd, &c, 1);
    if (Cfg().echo) rx.emplace_back(c, false);
}

// The transmitter up to `now`: bytes move from the kernel's buffer to the FIFO (or the adapter) and
// through the shift register at the line rate.
void Port::Advance(int64_t now) {
    const int64_t ch = CharNs();
    for (;;) {
        if (Cfg().kind == Kind::Uart16550)
            while (fifo.size() < 16 && !kbuf.empty()) {
                fifo.emplace_back(kbuf.front().first, std::max(kbuf.front().second, lastEnd));
                kbuf.pop_front();
            }
        if (Cfg().kind == Kind::Usb)
            while (!kbuf.empty() && kbuf.front().second + 1'000'000 <= now) {
                fifo.emplace_back(kbuf.front().first, kbuf.front().second + 1'000'000);
                kbuf.pop_front();
            }
        if (shifting) {
            if (shiftEnd > now) return;
            shifting = false;
            lastEnd = shiftEnd;
            Heard(shiftChar, shiftEnd);
            continue;
        }
        auto& source = Cfg().kind == Kind::Ideal ? kbuf : fifo;
        if (source.empty()) return;
        int64_t start = std::max(source.front().second, lastEnd);
        if (start > now) return;
        shiftChar = source.front().first;
        source.pop_front();
        shifting = true;
        shiftEnd = start + ch;
    }
}

// Received characters to the daemon's side, processed as the kernel does for the port's settings.
void Port::Deliver(int64_t now) {
    if (rx.empty()) return;
    if (Cfg().kind == Kind::Usb) {
        const int64_t grid = static_cast<int64_t>(Cfg().gridMs) * 1'000'000;
        if (now < nextDelivery) return;
        nextDelivery = (now / grid + 1) * grid;
    }
    std::string out;
    for (auto [c, bad] : rx) {
        if (bad) {
            if (tio.c_iflag & IGNPAR) continue;
            if ((tio.c_iflag & INPCK) && (tio.c_iflag & PARMRK)) {
                out += '\xFF';
                out += '\0';
                out += static_cast<char>(c);
            } else {
                out += (tio.c_iflag & INPCK) ? '\0' : static_cast<char>(c);
            }
            continue;
        }
        if (c == 0xFF && (tio.c_iflag & PARMRK) && !(tio.c_iflag & ISTRIP)) out += '\xFF';
        out += static_cast<char>(c);
    }
    rx.clear();
    static WriteFn realWrite = Next<WriteFn>("write");
    (void)!realWrite(masterFd, out.data(), out.size());
}

void Run(Port* p) {
    static ReadFn realRead = Next<ReadFn>("read");
    while (!p->stop.load()) {
        uint8_t buffer[256];
        ssize_t n = realRead(p->realFd, buffer, sizeof buffer);
        {
            std::lock_guard lock(p->m);
            int64_t now = Now();
            p->Advance(now);
            if (n == 0 || (n < 0 && errno == EIO)) { // the simulator went away: so does the port
                static CloseFn realClose = Next<CloseFn>("close");
                realClose(p->masterFd);
                p->masterFd = -1;
                return;
            }
            for (ssize_t i = 0; i < n; ++i) p->rx.emplace_back(buffer[i], ++p->rxCount == Cfg().parityAt);
            p->Deliver(now);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

int TakeOver(const char* path, int realFd) {
    if (realFd < 0 || !Cfg().active || std::strncmp(path, "/dev/pts/", 9) != 0 || realFd >= 4096) return realFd;
    static TcGetFn realGet = Next<TcGetFn>("tcgetattr");
    static TcSetFn realSet = Next<TcSetFn>("tcsetattr");
    static OpenFn realOpen = Next<OpenFn>("open");
    static CloseFn realClose = Next<CloseFn>("close");
    auto* p = new Port;
    realGet(realFd, &p->tio); // what the port was left with by whoever had it before
    termios raw = p->tio;
    ::cfmakeraw(&raw);
    realSet(realFd, TCSANOW, &raw);
    ::fcntl(realFd, F_SETFL, ::fcntl(realFd, F_GETFL) | O_NONBLOCK);
    p->realFd = ::fcntl(realFd, F_DUPFD_CLOEXEC, 100); // the simulator's port, kept aside
    p->masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p->realFd < 0 || p->masterFd < 0 || ::grantpt(p->masterFd) != 0 || ::unlockpt(p->masterFd) != 0) {
        std::fprintf(stderr, "uart model: no pseudo-terminal of its own\n");
        std::abort();
    }
    int slave = realOpen(::ptsname(p->masterFd), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    realGet(slave, &raw);
    ::cfmakeraw(&raw);
    realSet(slave, TCSANOW, &raw);
    // The daemon keeps the descriptor number it opened: the model's slave takes its place.
    ::dup3(slave, realFd, O_CLOEXEC);
    realClose(slave);
    p->daemonFd = realFd;
    if (!Cfg().log.empty()) p->log = std::fopen(Cfg().log.c_str(), "a");
    p->thread = std::thread(Run, p);
    __atomic_store_n(&ports[realFd], p, __ATOMIC_RELEASE);
    return realFd;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    static OpenFn real = Next<OpenFn>("open");
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return TakeOver(path, real(path, flags, mode));
}
int open64(const char* path, int flags, ...) {
    static OpenFn real = Next<OpenFn>("open64");
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return TakeOver(path, real(path, flags, mode));
}
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

ssize_t write(int fd, const void* data, size_t n) {
    static WriteFn real = Next<WriteFn>("write");
    Port* p = Find(fd);
    if (!p) return real(fd, data, n);
    const int64_t now = Now(); // the kernel has the bytes when the call is made
    std::lock_guard lock(p->m);
    if (p->masterFd < 0) {
        errno = EIO;
        return -1;
    }
    p->Advance(now);
    size_t room = 4096 - std::min<size_t>(4096, p->kbuf.size());
    if (room == 0) {
        errno = EAGAIN;
        return -1;
    }
    n = std::min(n, room);
    for (size_t i = 0; i < n; ++i) p->kbuf.emplace_back(static_cast<const uint8_t*>(data)[i], now);
    p->Advance(now);
    return static_cast<ssize_t>(n);
}

int close(int fd) {
    static CloseFn real = Next<CloseFn>("close");
    Port* p = Find(fd);
    if (p) {
        __atomic_store_n(&ports[fd], nullptr, __ATOMIC_RELEASE);
        p->stop = true;
        p->thread.join();
        if (p->masterFd >= 0) real(p->masterFd);
        real(p->realFd);
        if (p->log) std::fclose(p->log);
        delete p;
    }
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    static IoctlFn real = Next<IoctlFn>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    Port* p = Find(fd);
    if (!p) return real(fd, request, arg);
    std::lock_guard lock(p->m);
    p->Advance(Now());
    auto lines = [&](int bits, bool on) {
        if (Cfg().noLines) {
            errno = EINVAL;
            return -1;
        }
        bool rts = p->rts;
        if (bits & TIOCM_RTS) p->rts = on;
        if (bits & TIOCM_DTR) p->dtr = on;
        if (rts != p->rts) p->Log("RTS %d unsent=%zu\n", p->rts ? 1 : 0, p->Unsent());
        return 0;
    };
    switch (request) {
    case TIOCOUTQ:
        *static_cast<int*>(arg) =
            static_cast<int>(Cfg().kind == Kind::Ideal ? p->Unsent() : p->kbuf.size());
        return 0;
    case TIOCSERGETLSR:
        if (Cfg().kind == Kind::Usb) break;
        *static_cast<unsigned*>(arg) = p->Unsent() == 0 ? TIOCSER_TEMT : 0;
        return 0;
    case TIOCMGET:
        if (Cfg().noLines) break;
        *static_cast<int*>(arg) = (p->rts ? TIOCM_RTS : 0) | (p->dtr ? TIOCM_DTR : 0) | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        return 0;
    case TIOCMBIS:
        return lines(*static_cast<int*>(arg), true);
    case TIOCMBIC:
        return lines(*static_cast<int*>(arg), false);
    case TIOCGSERIAL: {
        serial_struct ss{};
        ss.flags = p->lowLatency ? ASYNC_LOW_LATENCY : 0;
        std::memcpy(arg, &ss, sizeof ss);
        return 0;
    }
    case TIOCSSERIAL: {
        serial_struct ss;
        std::memcpy(&ss, arg, sizeof ss);
        p->lowLatency = (ss.flags & ASYNC_LOW_LATENCY) != 0;
        if (p->lowLatency) p->Log("LOWLAT\n");
        return 0; // the burst grid stays: a chip that has no latency timer to shorten
    }
    case TIOCSRS485:
    case TIOCGRS485:
        break;
    default:
        return real(fd, request, arg);
    }
    errno = Cfg().noLines && (request == TIOCMGET) ? EINVAL : ENOTTY;
    return -1;
}

int tcgetattr(int fd, termios* t) {
    static TcGetFn real = Next<TcGetFn>("tcgetattr");
    Port* p = Find(fd);
    if (!p) return real(fd, t);
    std::lock_guard lock(p->m);
    *t = p->tio;
    return 0;
}

int tcsetattr(int fd, int action, const termios* t) {
    static TcSetFn real = Next<TcSetFn>("tcsetattr");
    Port* p = Find(fd);
    if (!p) return real(fd, action, t);
    std::lock_guard lock(p->m);
    p->Advance(Now());
    p->tio = *t; // a real UART takes parity and every speed it has
    return 0;
}

int tcdrain(int fd) {
    static TcIntFn real = Next<TcIntFn>("tcdrain");
    Port* p = Find(fd);
    if (!p) return real(fd);
    for (;;) {
        {
            std::lock_guard lock(p->m);
            p->Advance(Now());
            if (p->Unsent() == 0) return 0;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

int tcflush(int fd, int queue) {
    static TcFlushFn real = Next<TcFlushFn>("tcflush");
    Port* p = Find(fd);
    if (!p) return real(fd, queue);
    std::lock_guard lock(p->m);
    if (queue == TCOFLUSH || queue == TCIOFLUSH) {
        p->kbuf.clear();
        p->Log("FLUSH\n"); // what is left in the FIFO is an aborted frame's
    }
    if (queue == TCIFLUSH || queue == TCIOFLUSH) p->rx.clear();
    return real(fd, queue == TCOFLUSH ? TCOFLUSH : queue); // the daemon's side of the model's pair
}

int fstat(int fd, struct stat* st) {
    static FstatFn real = Next<FstatFn>("fstat");
    int rc = real(fd, st);
    if (rc == 0 && Find(fd)) st->st_rdev = Cfg().kind == Kind::Usb ? makedev(188, 0) : makedev(4, 64);
    return rc;
}
int fstat64(int fd, struct stat64* st) {
    return fstat(fd, reinterpret_cast<struct stat*>(st));
}

} // extern "C"
