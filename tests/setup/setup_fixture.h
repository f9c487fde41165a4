// A private system root for each test, the helper run as the installer runs it, and small builders for
// device trees and driver packages.
#pragma once

#include "temp_dir.h"
#include "zelhart/devdb/device_db.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelhart::setup::testing {

using devdb::DeviceDatabase;
using devdb::DeviceNode;

inline constexpr uint32_t kRunning = devdb::DN_DRIVER_LOADED | devdb::DN_STARTED | devdb::DN_DISABLEABLE;
inline constexpr char kProductClassGuid[] = "{A03641F9-2C4F-43C0-AB95-8EB734EA7071}";

// A present device node.
DeviceNode Node(std::string id, std::vector<std::string> hardwareIds, std::string parent = "HTREE\\ROOT\\0",
                uint32_t status = kRunning);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool Exists(const std::string& path);

// A driver package INF of maker `maker` for `hardwareId`, whose install sets the upper filter ZelHartFlt
// and binds the service "usbser".
std::string ModemFilterInf(const std::string& maker, const std::string& hardwareId);

class SetupTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    struct Result {
        int exit = -1;
        std::string output; // standard output and error
    };
    // Runs the helper in the test's directory with one argument, as the installer passes it.
    Result Helper(const std::string& commandLine);
    // The same with the test's log path added as the last field.
    Result HelperLogged(const std::string& commandLine) { return Helper(commandLine + "," + LogPath()); }

    std::string LogPath() const { return dir_ / "setup.log"; }
    std::string Log() const { return ReadFile(LogPath()); }
    std::string Root() const { return dir_ / "root"; }
    std::string Dir() const { return dir_.path(); }
    std::string DatabaseFile() const { return Root() + "/var/lib/zelhart/devices.db"; }

    void WriteDatabase(const std::vector<DeviceNode>& nodes);
    DeviceDatabase Database();
    // Writes an INF into the test's package directory; its path.
    std::string WriteInf(const std::string& name, const std::string& text);
    // Puts a package into the driver store without installing it on devices.
    void StorePackage(const std::string& infPath);
    // The OEM INF copies, by file name.
    std::vector<std::string> OemFiles();
    // Makes the system root refuse writers as a read-only one would, also for root: the lock file is
    // a directory.
    void MakeRootReadOnly();

  private:
    zelhart::testing::TempDir dir_;
};

} // namespace zelhart::setup::testing
