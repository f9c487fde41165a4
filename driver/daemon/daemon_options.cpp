#include "daemon_options.h"

#include <charconv>
#include <string_view>

namespace zelhart::hartdriver {
namespace {

constexpr size_t kMaxPathLength = 4096;

} // namespace

std::string DaemonUsage() {
    return "usage: ZelHartDriver [options]\n"
           "  --runtime-dir DIR   socket and serial port links here (default: $ZELHART_RUNTIME_DIR,\n"
           "                      else /run/zelhart, $XDG_RUNTIME_DIR/zelhart or /tmp/zelhart-<uid>)\n"
           "  --config-dir DIR    ZelHartDriver.reg and ports.conf here (default: $ZELHART_CONFIG_DIR,\n"
           "                      else /etc/zelhart)\n"
           "  --group NAME        the socket and <runtime dir>/ports belong to this group, and only its\n"
           "                      members (and root) may use the daemon (default zelhart); without such a\n"
           "                      group on the system only the daemon's own user and root may\n"
           "  --socket-mode MODE  the socket's mode, octal: 0660 (default), 0600 or 0666 (every user)\n"
           "  --ready-fd FD       once requests are served, write the socket path and a newline to FD\n"
           "                      and close it (systemd's NOTIFY_SOCKET is told READY=1 as well)\n"
           "  --background        detach from the terminal once ready (the default is to stay in the\n"
           "                      foreground)\n"
           "  --verbose           also print the framework's information lines and the lines the\n"
           "                      driver writes to the debugger\n"
           "  --help              this text\n"
           "Signals: SIGTERM or SIGINT stop (every port is closed), SIGUSR1 suspends, SIGUSR2 resumes,\n"
           "SIGHUP reads the device nodes and the tunables that can change while it runs (DebugLevel) again.\n"
           "Device nodes: one function device per node bound to ZelHartDriver in\n"
           "$ZELHART_SYSROOT/var/lib/zelhart/devices.db (default system root /); the own node\n"
           "ROOT\\ZELHARTDRIVER\\0000 when there is no such file.\n";
}

std::string ParseDaemonOptions(std::span<const char* const> args, DaemonOptions* out) {
    DaemonOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i] ? args[i] : "";
        std::string_view value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= args.size() || !args[i + 1]) return false;
            value = args[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            if (inlineValue) return "--help takes no value";
            o.help = true;
        } else if (arg == "--background" || arg == "--verbose") {
            if (inlineValue) return std::string(arg) + " takes no value";
            (arg == "--background" ? o.background : o.verbose) = true;
        } else if (arg == "--runtime-dir" || arg == "--config-dir") {
            if (!takeValue()) return std::string(arg) + " needs a directory";
            if (value.empty() || value.size() > kMaxPathLength)
                return std::string(arg) + ": bad directory name";
            (arg == "--runtime-dir" ? o.runtimeDir : o.configDir) = value;
        } else if (arg == "--group") {
            if (!takeValue()) return "--group needs a group name";
            if (value.size() > 256 || value.find_first_of(":/\n") != std::string_view::npos)
                return "--group: bad group name";
            o.group = value;
        } else if (arg == "--socket-mode") {
            if (!takeValue()) return "--socket-mode needs an octal mode";
            unsigned mode = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), mode, 8);
            if (ec != std::errc() || end != value.data() + value.size() || (mode & ~0666u) || (mode & 0600) != 0600)
                return "--socket-mode: not 0600, 0660, 0666 or another mode of read and write bits with the owner's: " +
                       std::string(value);
            o.socketMode = mode;
        } else if (arg == "--ready-fd") {
            if (!takeValue()) return "--ready-fd needs a descriptor number";
            int fd = -1;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), fd);
            if (ec != std::errc() || end != value.data() + value.size() || fd < 0 || fd > 65535)
                return "--ready-fd: not a descriptor number: " + std::string(value);
            o.readyFd = fd;
        } else {
            return "unknown option " + std::string(arg);
        }
    }
    *out = o;
    return {};
}

} // namespace zelhart::hartdriver
