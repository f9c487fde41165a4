// What the driver daemon needs of the device database, and how the setup helper reaches a running
// daemon.
//
// At start (and on SIGHUP) ZelHartDriver asks for the device nodes bound to its service and adds one
// function device per node; when the database does not exist it adds its own root node instead.
// "-ReEnumerate" (CM_Reenumerate_DevNode) sends SIGHUP to the pid written in
// <runtime dir>/ZelHartDriver.pid, but only when that process really is ZelHartDriver, so a stale pid
// file never signals an unrelated process.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace zelhart::devdb {

inline constexpr char kDriverServiceName[] = "ZelHartDriver";
inline constexpr char kDaemonPidFileName[] = "ZelHartDriver.pid";

struct BoundDeviceNode {
    std::string instanceId; // for example ROOT\ZELHARTDRIVER\0000
    std::vector<std::string> hardwareIds;
    bool needsRestart = false; // DN_NEED_RESTART: the node waits for a restart to change
};

enum class DeviceDatabaseState {
    Absent,  // no device database: nothing was ever installed under this system root
    Loaded,  // read; `nodes` holds the present nodes bound to the service (maybe none)
    Refused, // unreadable or damaged; `reason` says why
};

struct BoundDeviceNodes {
    DeviceDatabaseState state = DeviceDatabaseState::Absent;
    std::vector<BoundDeviceNode> nodes;
    std::string reason;
};

// The present device nodes whose function driver is `service` (letter case ignored), in database order.
BoundDeviceNodes ListDeviceNodesBoundToService(std::string_view service = kDriverServiceName);

// <runtime dir>/ZelHartDriver.pid.
std::string DaemonPidFilePath();

// For the daemon: writes its pid there (atomically) / removes the file. True on success.
bool WriteDaemonPidFile(pid_t pid);
void RemoveDaemonPidFile();

enum class ReenumerateResult { Signalled, NoDaemon, Failed };

// For the setup helper: SIGHUP to the running daemon. NoDaemon when there is no pid file, it does not
// hold a pid, or that process is gone or is not ZelHartDriver.
ReenumerateResult SignalDaemonToReenumerate();

} // namespace zelhart::devdb
