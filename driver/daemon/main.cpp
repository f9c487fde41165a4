// ZelHartDriver: the HART modem driver daemon. Runs DriverEntry, adds a function device per device
// node bound to it, serves <runtime dir>/zelhart.sock until SIGTERM or SIGINT, takes SIGUSR1/SIGUSR2
// as suspend and resume and SIGHUP as the order to read its device nodes again.
#include "../hart/contexts.h"
#include "../hart/hart_trace.h"
#include "daemon_options.h"
#include "device_nodes.h"
#include "readiness.h"
#include "zelhart/platform/runtime_dir.h"

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

int Serve(Readiness& readiness) {
    zelhart::drvfw::FrameworkOptions options;
    options.serviceName = "ZelHartDriver";
    options.handleSignals = true;
    zelhart::drvfw::Framework* served = nullptr;
    bool stopping = false; // a SIGHUP read together with a SIGTERM finds the devices gone
    options.onSignal = [&](int signo) {
        stopping = stopping || signo == SIGTERM || signo == SIGINT;
        if (signo == SIGHUP && served && !stopping) SyncFunctionDevices(*served, false);
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
    // SIGHUP is blocked since the framework was made: one sent as soon as the file exists waits for Run.
    if (!zelhart::devdb::WriteDaemonPidFile(::getpid()))
        std::fprintf(stderr, "ZelHartDriver: cannot write %s; -ReEnumerate will not reach this daemon\n",
                     zelhart::devdb::DaemonPidFilePath().c_str());
    readiness.Ready(fw.SocketPath());
    int exitStatus = fw.Run();
    zelhart::devdb::RemoveDaemonPidFile();
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
    namespace platform = zelhart::platform;
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
    RouteFrameworkTrace();
    return Serve(readiness);
}
