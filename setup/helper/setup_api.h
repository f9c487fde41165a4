// The setup helper's device work (the SetupApi group) and its utilities.
#pragma once

#include "setup_log.h"
#include "zelhart/setupapi/win32.h"

#include <string>
#include <vector>

namespace zelhart::setup {

namespace SetupApi {

// A root device node of the class, with the hardware ID, registered by the class installer.
bool DeviceNodeCreate(const std::string& hardwareId, const std::string& className, const setupapi::GUID& classGuid);
// Removes every device node of the class (present or not) whose first hardware ID begins with
// `hardwareId`; false only when the class GUID text cannot be parsed.
bool DeviceInstanceRemoveAllPresentAndNonPresent(const std::string& classGuidText, const std::string& hardwareId);
// Removes every device node enumerated under `hardwareId` whose first hardware ID begins with it. True.
bool DeviceInstancesUninstall(const std::string& hardwareId);
// Installs the package maker's driver on the present devices that match, skipping devices already
// filtered, devices waiting for a restart (after the reboot prompt) and devices whose child stacks do
// not run. False when an update failed; `accessDenied` when the rights were missing.
bool DriverUpdate(const std::string& hardwareId, const std::string& windowClassName, bool* accessDenied);
// Deletes the OEM INF copies (and their .pnf) whose original name begins with `infName`.
void OemInfFilesDelete(const std::string& infName);
void DeleteOemInfFile(const std::string& oemInfPath, const std::string& infName);

} // namespace SetupApi

namespace Utilities {
// The OEM*.INF files of the INF directory, in the order found; false when there are none or the
// search failed (the paths found so far stay in the list).
bool GetOemInfFilePathNamesList(std::vector<std::string>* list);
} // namespace Utilities

} // namespace zelhart::setup
