// ZelHartDriver: the HART modem driver daemon. Runs DriverEntry, adds a function device per device
// node bound to it, serves <runtime dir>/zelhart.sock until SIGTERM or SIGINT, takes SIGUSR1/SIGUSR2
// as suspend and resume and SIGHUP as the order to read its device nodes and its tunables again.
// Whatever DebugLevel says, standard error (the journal) gets a start line, what each reload changed
// and the errors an administrator must see.
#include "../hart/contexts.h"
#include "../hart/hart_trace.h"
#include "daemon_options.h"
#include "device_nodes.h"
#include "readiness.h"
#include "zelhart/platform/modem_lines.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/socket_access.h"
#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace zelhart::hartdriver;

namespace {

// Every client connection and every open port takes a descriptor, and the usual soft limit (1024) is
// far below what the connection limits allow: the soft limit goes up to the hard one.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    rlim_t was = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        HartTrace(HART_TRACE_ERROR, "ZelHartDriver: cannot raise the open file limit from %llu: %s\n",
                  static_cast<unsigned long long>(was), std::strerror(errno));
}

namespace platform = zelhart::platform;

#ifndef ZELHART_VERSION
#define ZELHART_VERSION "unknown"
#endif

// <runtime dir>/ports, where simulators and the port map's users register COM names: writable by
// the serving group, sticky so that nobody removes another's link. "" or what went wrong.
std::string SharePortsDirectory(const std::string& group) {
    const std::string dir = platform::PortsDir();
    if (!platform::MakeDirs(dir)) return dir + ": cannot create the directory: " + std::strerror(errno);
    auto gid = platform::LookupGroup(group);
    if (!gid) return {};
    return platform::GiveToGroup(dir, *gid, 01775);
}

// "COM1 /dev/ttyS0, COM200 /dev/pts/4" or "none".
std::string PortsFound() {
    constexpr size_t kNamed = 16; // a line, not a page, on a machine with many ports
    std::string text;
    auto ports = platform::ReadSerialPortMap();
    for (size_t i = 0; i < ports.size() && i < kNamed; ++i)
        text += (text.empty() ? "" : ", ") + ports[i].comName + " " + ports[i].devicePath;
    if (ports.size() > kNamed) text += " and " + std::to_string(ports.size() - kNamed) + " more";
    return text.empty() ? "none" : text;
}

std::string ServedDevicesFile() { return platform::RuntimeDir() + "/devices"; }

// <runtime dir>/devices: the instance IDs of the function devices served, one a line, put in place
// anew (renamed over the old one) whenever they change. Clients watch it as they watch the socket, so
// that a program holding a device whose node was removed and created again opens it again.
void WriteServedDevices(zelhart::drvfw::Framework& fw) {
    const std::string path = ServedDevicesFile(), partial = path + ".new";
    std::string text;
    for (const auto& id : fw.DeviceInstanceIds()) text += id + "\n";
    platform::UniqueFd fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool written = fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    fd.reset();
    if (!written || ::rename(partial.c_str(), path.c_str()) != 0) {
        DaemonNotice("%s: %s; running programs do not learn of the changed device nodes", path.c_str(), std::strerror(errno));
        ::unlink(partial.c_str());
    }
}

int Serve(Readiness& readiness, const DaemonOptions& daemonOptions) {
    zelhart::drvfw::FrameworkOptions options;
    options.serviceName = "ZelHartDriver";
    options.handleSignals = true;
    options.socketGroup = daemonOptions.group;
    options.socketMode = daemonOptions.socketMode;
    zelhart::drvfw::Framework* served = nullptr;
    bool stopping = false; // a SIGHUP read together with a SIGTERM finds the devices gone
    options.onSignal = [&](int signo) {
        stopping = stopping || signo == SIGTERM || signo == SIGINT;
        if (signo != SIGHUP || !served || stopping) return;
        std::string changed = ReloadServiceKey(*served, served->RegistryPath());
        DaemonNotice("reload: %s", changed.empty() ? ("cannot read " + served->RegistryFile()).c_str() : changed.c_str());
        const auto before = served->DeviceInstanceIds();
        SyncFunctionDevices(*served, false);
        if (served->DeviceInstanceIds() != before) WriteServedDevices(*served);
    };
    zelhart::drvfw::Framework fw(options);
    served = &fw;

    NTSTATUS status = DriverEntry(fw, fw.RegistryPath());
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "ZelHartDriver: DriverEntry failed with status 0x%X\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    RaiseOpenFileLimit();
    if (!SyncFunctionDevices(fw, true)) return 1;
    status = fw.Listen();
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        std::fprintf(stderr, "ZelHartDriver: another daemon serves %s\n", fw.SocketPath().c_str());
        return 1;
    }
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "ZelHartDriver: cannot serve %s (status 0x%X)\n", fw.SocketPath().c_str(),
                     static_cast<unsigned>(status));
        return 1;
    }
    WriteServedDevices(fw);
    // What an earlier daemon found of the ports' modem lines: the adapters may have changed since.
    platform::ForgetModemLines(platform::ModemLinesDir());
    if (std::string e = SharePortsDirectory(daemonOptions.group); !e.empty())
        DaemonNotice("%s; simulators of other users cannot register their ports", e.c_str());
    DaemonNotice("ZelHartDriver %s started: runtime directory %s, socket %s (%s), ports: %s", ZELHART_VERSION,
                 platform::RuntimeDir().c_str(), fw.SocketPath().c_str(), fw.SocketAccessText().c_str(),
                 PortsFound().c_str());
    // SIGHUP is blocked since the framework was made: one sent as soon as the file exists waits for Run.
    if (!zelhart::devdb::WriteDaemonPidFile(::getpid()))
        std::fprintf(stderr, "ZelHartDriver: cannot write %s; -ReEnumerate will not reach this daemon\n",
                     zelhart::devdb::DaemonPidFilePath().c_str());
    readiness.Ready(fw.SocketPath());
    int exitStatus = fw.Run();
    zelhart::devdb::RemoveDaemonPidFile();
    ::unlink(ServedDevicesFile().c_str());
    return exitStatus;
}

} // namespace

int main(int argc, char** argv) {
    DaemonOptions options;
    std::vector<const char*> args(argv + 1, argv + argc);
    std::string error = ParseDaemonOptions(args, &options);
    if (error.empty() && options.readyFd >= 0 && ::fcntl(options.readyFd, F_GETFD) < 0)
        error = "--ready-fd: descriptor " + std::to_string(options.readyFd) + " is not open";
    if (!error.empty()) {
        std::fprintf(stderr, "ZelHartDriver: %s\n%s", error.c_str(), DaemonUsage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(DaemonUsage().c_str(), stdout);
        return 0;
    }
    // The daemon's own rule: /run/zelhart also when it still has to be made (clients only look there
    // once it exists). Set for the whole process, so that the socket and the port map follow it.
    if (options.runtimeDir.empty()) options.runtimeDir = platform::RuntimeDir(platform::RuntimeRole::kDaemon);
    ::setenv("ZELHART_RUNTIME_DIR", options.runtimeDir.c_str(), 1);
    if (!options.configDir.empty()) ::setenv("ZELHART_CONFIG_DIR", options.configDir.c_str(), 1);
    if (options.readyFd >= 0) ::fcntl(options.readyFd, F_SETFD, FD_CLOEXEC);

    Readiness readiness(options.readyFd);
    // Before any thread exists: fork keeps only the calling thread.
    if (options.background && !readiness.DetachToBackground()) {
        std::perror("ZelHartDriver: fork");
        return 1;
    }
    SetHartDebugOutput(options.verbose);
    SetDaemonNotices(true);
    RouteFrameworkTrace();
    return Serve(readiness, options);
}
