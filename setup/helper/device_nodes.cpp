// Creating and removing device nodes.
#include "device_info_set.h"
#include "setup_api.h"

#include "zelhart/setupapi/winbase.h"

#include <string>

namespace zelhart::setup::SetupApi {

using namespace zelhart::setupapi;

namespace {

// A device information set of our own making, destroyed when it goes.
class ScopedDeviceInfoList {
  public:
    explicit ScopedDeviceInfoList(const GUID& classGuid) : set_(SetupDiCreateDeviceInfoList(&classGuid, nullptr)) {}
    ~ScopedDeviceInfoList() {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    ScopedDeviceInfoList(const ScopedDeviceInfoList&) = delete;
    ScopedDeviceInfoList& operator=(const ScopedDeviceInfoList&) = delete;
    HDEVINFO get() const { return set_; }

  private:
    HDEVINFO set_;
};

bool RegisterNode(HDEVINFO set, const std::string& hardwareId, const std::string& className, const GUID& classGuid) {
    SP_DEVINFO_DATA data;
    if (!SetupDiCreateDeviceInfoW(set, className.c_str(), &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data)) {
        LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate: SetupDiCreateDeviceInfo failed with 0x%x.", GetLastError());
        return false;
    }
    // A list of one string, ended by two NULs. The ID is taken whole: the services refuse one that is
    // too long rather than register a cut one.
    std::string list = hardwareId;
    list.append(2, '\0');
    if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(list.data()),
                                           static_cast<DWORD>(list.size()))) {
        LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate: SetupDiSetDeviceRegistryProperty failed with 0x%x.",
                 GetLastError());
        return false;
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
        LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate: SetupDiCallClassInstaller failed with 0x%x.", GetLastError());
        return false;
    }
    return true;
}

} // namespace

bool DeviceNodeCreate(const std::string& hardwareId, const std::string& className, const GUID& classGuid) {
    LogWrite(LOG_ENTRY_EXIT, "SetupApi::DeviceNodeCreate\n");
    ScopedDeviceInfoList set(classGuid);
    if (set.get() == INVALID_HANDLE_VALUE) {
        LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate: SetupDiCreateDeviceInfoList failed with ERROR_INVALID_HANDLE");
        LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate failed: <<<<<<<<<.");
        return false;
    }
    bool registered = RegisterNode(set.get(), hardwareId, className, classGuid);
    if (!registered) LogWrite(LOG_FAILURE, "SetupApi::DeviceNodeCreate failed: <<<<<<<<<.");
    return registered;
}

bool DeviceInstanceRemoveAllPresentAndNonPresent(const std::string& classGuidText, const std::string& hardwareId) {
    GUID classGuid;
    if (CLSIDFromString(classGuidText.c_str(), &classGuid) != NOERROR) {
        LogWrite(LOG_FAILURE, "SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent CLSIDFromString failed! %s\n",
                 classGuidText);
        return false;
    }
    SetupApiDeviceInfoSet set;
    set.Initialize(classGuid); // a failure is logged; the walk then ends at once
    for (DWORD i = 0;; ++i) {
        LogWrite(LOG_WALK, "SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent for-loop i == %d\n", i);
        if (!set.EnumDeviceInfo(i)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS)
                LogWrite(LOG_FAILURE, "SetupApiFilterDriverAttach SetupDiEnumDeviceInfo failed! Error: %d\n", GetLastError());
            break;
        }
        if (set.HardwareIdCompare(hardwareId)) {
            LogWrite(LOG_WALK,
                     "SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent TRUE == DeviceInfoSet.HardwareIdCompare(%s)\n",
                     hardwareId);
            DWORD reboot = 0;
            set.DeviceRemove(&reboot);
        } else {
            LogWrite(LOG_WALK,
                     "SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent FALSE == DeviceInfoSet.HardwareIdCompare(%s)\n",
                     hardwareId);
        }
    }
    return true;
}

bool DeviceInstancesUninstall(const std::string& hardwareId) {
    LogWrite(LOG_ENTRY_EXIT, ">>> SetupApi::DeviceInstancesUninstall\n");
    SetupApiDeviceInfoSet set;
    if (!set.Enumerate(hardwareId, DIGCF_ALLCLASSES)) return true;
    for (DWORD i = 0;; ++i) {
        LogWrite(LOG_WALK, "SetupApi::DeviceInstancesUninstall for-loop i: %d\n", i);
        if (!set.EnumDeviceInfo(i)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                LogWrite(LOG_FAILURE, "SetupApiFilterDriverAttach SetupDiEnumDeviceInfo failed! Error: %d\n", GetLastError());
                LogWrite(LOG_WALK, "SetupApi::DeviceInstancesUninstall DeviceInfoSet.Enumerate failed\n");
            }
            break;
        }
        if (!set.HardwareIdCompare(hardwareId)) {
            LogWrite(LOG_WALK, "SetupApi::DeviceInstancesUninstall no match for hardware ID (%s)\n", hardwareId);
            continue;
        }
        DWORD reboot = 0;
        if (!set.DeviceRemove(&reboot)) LogWrite(LOG_WALK, "SetupApi::DeviceInstancesUninstall DeviceInfoSet.DeviceRemove failed\n");
    }
    return true;
}

} // namespace zelhart::setup::SetupApi
