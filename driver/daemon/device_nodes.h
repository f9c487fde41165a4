// The daemon's function devices follow the device nodes bound to its service in the setup services'
// device database ($ZELHART_SYSROOT/var/lib/zelhart/devices.db): one function device per node, added
// at start and brought in line again on SIGHUP, which ZelHartDriverSetupCustomAction -ReEnumerate sends.
//
//   database     at start                                  on SIGHUP
//   absent       the daemon's own root node                the daemon's own root node
//   readable     one function device per bound node        nodes added and removed to match
//   damaged      said on standard error; the own root node said on standard error; nothing changes
//
// Without a database nothing was ever installed under the system root (a build tree, a test), and the
// daemon serves its own node as it always has. A damaged database says nothing reliable about the
// nodes, so the daemon keeps a transmitter reachable rather than serving nothing: at start it serves
// its own node, later it keeps what it serves. Either way the setup helper refuses the file until it is
// repaired, so the damage does not go unnoticed.
#pragma once

// Also the daemon's pid file (WriteDaemonPidFile, RemoveDaemonPidFile), which -ReEnumerate reads.
#include "zelhart/devdb/daemon_nodes.h"

#include <string>
#include <vector>

namespace zelhart::drvfw {
class Framework;
}

namespace zelhart::hartdriver {

// The node the daemon serves when there is no device database.
inline constexpr char kRootDeviceInstance[] = "ROOT\\ZELHARTDRIVER\\0000";

struct FunctionDevicePlan {
    std::vector<std::string> add;    // instance IDs, in database order
    std::vector<std::string> remove; // instance IDs served now
    bool databaseRefused = false;
};

// What to add and remove so that the function devices `served` match `bound`. Instance IDs compare
// without regard to letter case; a node listed twice is added once.
FunctionDevicePlan PlanFunctionDevices(const std::vector<std::string>& served,
                                       const devdb::BoundDeviceNodes& bound, bool atStart);

// Reads the database and adds and removes function devices to match, saying on standard error what it
// did (at start only what is out of the ordinary). On the loop thread or before the framework serves.
// False when a function device could not be added.
bool SyncFunctionDevices(drvfw::Framework& fw, bool atStart);

} // namespace zelhart::hartdriver
