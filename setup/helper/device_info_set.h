// SetupApiDeviceInfoSet: one device information set and the element being looked at. Each operation
// logs its own failures and answers true or false.
#pragma once

#include "setup_log.h"
#include "zelhart/setupapi/cfgmgr32.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/setupapi/setupapi.h"

#include <string>

namespace zelhart::setup {

// The upper filter that marks a device whose driver has been updated.
inline constexpr char kUpperFilterService[] = "ZelHartFlt";

class SetupApiDeviceInfoSet {
  public:
    SetupApiDeviceInfoSet() = default;
    ~SetupApiDeviceInfoSet();
    SetupApiDeviceInfoSet(const SetupApiDeviceInfoSet&) = delete;
    SetupApiDeviceInfoSet& operator=(const SetupApiDeviceInfoSet&) = delete;

    // Fills the set with the devices whose instance IDs come from `enumerator` (any class).
    bool Enumerate(const std::string& enumerator, setupapi::DWORD flags);
    // Fills the set with every device of a setup class, present or not.
    bool Initialize(const setupapi::GUID& classGuid);
    // Takes element `index` (SetupDiEnumDeviceInfo); false with the system's last error.
    bool EnumDeviceInfo(setupapi::DWORD index);

    // The element's first hardware ID begins with `hardwareId` (letter case ignored).
    bool HardwareIdCompare(const std::string& hardwareId);
    bool DeviceRemove(setupapi::DWORD* reboot);
    bool DevNodeStatusGet(setupapi::ULONG* status);
    bool AreAllChildStacksUpAndRunning();
    // The element's first upper filter is exactly kUpperFilterService.
    bool RegistryPropertyCompare();
    bool SelectedDriverSet();
    bool SelectedDriverInstall(setupapi::HWND window, setupapi::DWORD* reboot);

    setupapi::HDEVINFO handle() const { return m_hDevInfo; }
    setupapi::SP_DEVINFO_DATA* element() { return &m_DevInfoData; }

  private:
    bool InternalCfgMgrIsChildUpAndRunning(setupapi::DEVINST node);
    void Destroy();

    setupapi::HDEVINFO m_hDevInfo = setupapi::INVALID_HANDLE_VALUE;
    setupapi::SP_DEVINFO_DATA m_DevInfoData;
};

} // namespace zelhart::setup
