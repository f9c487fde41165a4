// The setup helper's driver package operations, over DIFx.
#pragma once

#include "setup_log.h"

#include <string>

namespace zelhart::setup {

// The maker of the product's driver package: SelectedDriverSet takes the first compatible driver whose
// manufacturer name is exactly this.
inline constexpr char kPackageMakerName[] = "ZelHart";

namespace DifxApi {

// DIFx flag sets of the three calls.
inline constexpr DWORD kInstallFlags = 0x14;    // FORCE | LEGACY_MODE
inline constexpr DWORD kPreInstallFlags = 0x1D; // REPAIR | FORCE | ONLY_IF_DEVICE_PRESENT | LEGACY_MODE
inline constexpr DWORD kUninstallFlags = 0x24;  // FORCE | DELETE_FILES

// 0 on success (ERROR_NO_SUCH_DEVINST counts as success: the package is in the store), else DIFx's code.
DWORD DriverPackageInstall(const std::string& infPath);
DWORD DriverPackagePreInstall(const std::string& infPath);
// Always 0; a failure is logged.
DWORD DriverPackageUninstall(const std::string& packageInfPath);
// Uninstalls every stored package whose store path contains `infName` (letter case ignored), found
// through the OEM INF files.
void UninstallPackagesByOemInf(const std::string& infName);

// The DIFx log callback: one log line per event.
void LogCallback(int eventType, DWORD errorCode, const char* description, void* context);

// The name line written for a failure of DriverPackageGetPath, and its level (the
// ERROR_DRIVER_PACKAGE_NOT_IN_STORE line has its code as level, so it reaches the file only).
struct ErrorNameLine {
    const char* line;
    DWORD level;
};
ErrorNameLine ErrorName(DWORD code);

} // namespace DifxApi
} // namespace zelhart::setup
