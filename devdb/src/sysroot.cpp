#include "zelhart/devdb/sysroot.h"

#include <cstdlib>

namespace zelhart::devdb {

std::string SysRoot() {
    const char* v = std::getenv("ZELHART_SYSROOT");
    std::string root = v ? v : "";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}

std::string StateDir() { return SysRoot() + "/var/lib/zelhart"; }
std::string DatabasePath() { return StateDir() + "/devices.db"; }
std::string LockPath() { return StateDir() + "/lock"; }
std::string DriverStoreDir() { return StateDir() + "/driverstore"; }
std::string OemInfDir() { return StateDir() + "/inf"; }
std::string RebootRequiredPath() { return SysRoot() + "/var/run/reboot-required"; }

} // namespace zelhart::devdb
