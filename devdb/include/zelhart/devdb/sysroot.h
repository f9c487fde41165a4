// Where the setup services keep their state: everything lives under one system root,
// $ZELHART_SYSROOT (default "/"), so that a whole installation can be staged in a directory.
//
//   <root>/var/lib/zelhart/devices.db         the device database (device nodes)
//   <root>/var/lib/zelhart/lock               taken (flock) by every writer; write access = administrator
//   <root>/var/lib/zelhart/driverstore/<id>/  installed driver packages, one INF each
//   <root>/var/lib/zelhart/inf/oem<N>.inf     the OEM INF copies, with oem<N>.pnf beside each
//   <root>/var/run/reboot-required            written when a restart is needed
#pragma once

#include <string>

namespace zelhart::devdb {

// $ZELHART_SYSROOT without trailing slashes ("" for "/"), or "" when unset or empty.
std::string SysRoot();

std::string StateDir();          // <root>/var/lib/zelhart
std::string DatabasePath();      // <root>/var/lib/zelhart/devices.db
std::string LockPath();          // <root>/var/lib/zelhart/lock
std::string DriverStoreDir();    // <root>/var/lib/zelhart/driverstore
std::string OemInfDir();         // <root>/var/lib/zelhart/inf
std::string RebootRequiredPath(); // <root>/var/run/reboot-required

} // namespace zelhart::devdb
