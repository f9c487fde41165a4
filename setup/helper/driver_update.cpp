// Updating the driver of matching devices.
#include "device_info_set.h"
#include "setup_api.h"

#include "zelhart/setupapi/winbase.h"

namespace zelhart::setup::SetupApi {

using namespace zelhart::setupapi;

namespace {

// The parent of the system's dialogs: the top-level window of the class, raised, or the desktop.
HWND ParentWindow(const std::string& windowClassName) {
    HWND window = FindWindowW(windowClassName.c_str(), nullptr);
    if (window) {
        if (!SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE))
            LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate FindWindowW failed! %d \n", GetLastError());
        return window;
    }
    LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate FindWindowW failed! %s %d\n", windowClassName, GetLastError());
    return GetDesktopWindow();
}

// Opening the device's key for full access is the administrator test.
bool HasAdministratorRights(SetupApiDeviceInfoSet& set) {
    HKEY key = SetupDiOpenDevRegKey(set.handle(), set.element(), DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (key == INVALID_HANDLE_VALUE) return false;
    RegCloseKey(key);
    return true;
}

} // namespace

bool DriverUpdate(const std::string& hardwareId, const std::string& windowClassName, bool* accessDenied) {
    bool result = true;
    LogWrite(LOG_ENTRY_EXIT, ">>> SetupApi::DriverUpdate\n");
    SetupApiDeviceInfoSet set;
    if (!set.Enumerate(hardwareId, DIGCF_PRESENT | DIGCF_ALLCLASSES)) return true; // nothing to update
    for (DWORD i = 0;; ++i) {
        LogWrite(LOG_WALK, "SetupApi::DriverUpdate for-loop i: %d\n", i);
        if (!set.EnumDeviceInfo(i)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) {
                LogWrite(LOG_FAILURE, "SetupApiFilterDriverAttach SetupDiEnumDeviceInfo failed! Error: %d\n", GetLastError());
                LogWrite(LOG_WALK, "SetupApi::DriverUpdate DeviceInfoSet.Enumerate failed\n");
            }
            break;
        }
        if (!set.HardwareIdCompare(hardwareId)) {
            LogWrite(LOG_WALK, "SetupApi::DriverUpdate no match for hardware ID (%s)\n", hardwareId);
            continue;
        }
        HWND window = ParentWindow(windowClassName);
        ULONG status = 0;
        if (set.DevNodeStatusGet(&status) && (status & DN_NEED_RESTART)) {
            LogWrite(LOG_REBOOT, "SetupApi::DriverUpdate DeviceInfoSet.DevNodeStatusGet reboot required!\n");
            if (SetupPromptReboot(nullptr, window, FALSE) == -1)
                LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate SetupPromptReboot (1) failed! %d \n", GetLastError());
            continue;
        }
        if (!set.AreAllChildStacksUpAndRunning()) {
            LogWrite(LOG_NODE_STATUS, " SetupApi::DriverUpdate two children not up and running\n");
            continue;
        }
        LogWrite(LOG_NODE_STATUS, " SetupApi::DriverUpdate two children up and running\n");
        if (set.RegistryPropertyCompare()) {
            LogWrite(LOG_WALK, "DriverUpdate DeviceInfoSet.RegistryPropertyCompare driver already installed\n");
            continue;
        }
        if (i == 0 && !HasAdministratorRights(set)) {
            LogWrite(LOG_WALK, "SetupApi::DriverUpdate not enough privileges (must be member of Admin group\n");
            *accessDenied = true;
            result = false;
            break;
        }
        if (!set.SelectedDriverSet()) {
            LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate DeviceInfoSet.SelectedDriverSet failed! Index:%d\n", i);
            result = false;
            break;
        }
        DWORD reboot = 0;
        if (!set.SelectedDriverInstall(window, &reboot)) {
            LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate DeviceInfoSet.SelectedDriverInstall failed! %d\n", i);
            result = false;
            break;
        }
        if (reboot == 1) {
            LogWrite(LOG_REBOOT, "SetupApi::DriverUpdate reboot required!\n");
            if (SetupPromptReboot(nullptr, window, FALSE) == -1)
                LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate SetupPromptReboot (2) failed! %d \n", GetLastError());
        }
    }
    return result;
}

} // namespace zelhart::setup::SetupApi
