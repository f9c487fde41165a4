#include "device_info_set.h"

#include "difx_api.h"
#include "zelhart/setupapi/newdev.h"
#include "zelhart/setupapi/winbase.h"

#include <cstring>
#include <strings.h>

namespace zelhart::setup {

using namespace zelhart::setupapi;

namespace {

constexpr DWORD kHardwareIdChars = 1024;
constexpr DWORD kUpperFilterChars = 260;

// A library loaded for one call.
class ScopedLibrary {
  public:
    explicit ScopedLibrary(const char* name) : module_(LoadLibraryW(name)) {}
    ~ScopedLibrary() {
        if (module_) FreeLibrary(module_);
    }
    ScopedLibrary(const ScopedLibrary&) = delete;
    ScopedLibrary& operator=(const ScopedLibrary&) = delete;
    HMODULE get() const { return module_; }

  private:
    HMODULE module_;
};

} // namespace

SetupApiDeviceInfoSet::~SetupApiDeviceInfoSet() { Destroy(); }

void SetupApiDeviceInfoSet::Destroy() {
    if (m_hDevInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDevInfo);
    m_hDevInfo = INVALID_HANDLE_VALUE;
}

bool SetupApiDeviceInfoSet::Enumerate(const std::string& enumerator, DWORD flags) {
    Destroy();
    m_hDevInfo = SetupDiGetClassDevsW(nullptr, enumerator.c_str(), nullptr, flags);
    if (m_hDevInfo != INVALID_HANDLE_VALUE) return true;
    LogWrite(LOG_FAILURE, "SetupApiDeviceInfoSet::Enumerate SetupDiGetClassDevs failed! %d\n", GetLastError());
    return false;
}

bool SetupApiDeviceInfoSet::Initialize(const GUID& classGuid) {
    Destroy();
    m_hDevInfo = SetupDiGetClassDevsW(&classGuid, nullptr, nullptr, 0);
    if (m_hDevInfo != INVALID_HANDLE_VALUE) return true;
    LogWrite(LOG_FAILURE, "SetupApiDeviceInfoSet::Initialize pGuidSetupClass SetupDiGetClassDevs failed! %d\n",
             GetLastError());
    return false;
}

bool SetupApiDeviceInfoSet::EnumDeviceInfo(DWORD index) {
    m_DevInfoData = SP_DEVINFO_DATA{};
    return SetupDiEnumDeviceInfo(m_hDevInfo, index, &m_DevInfoData) == TRUE;
}

bool SetupApiDeviceInfoSet::HardwareIdCompare(const std::string& hardwareId) {
    char ids[kHardwareIdChars] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(m_hDevInfo, &m_DevInfoData, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<BYTE*>(ids), sizeof(ids), nullptr)) {
        LogWrite(LOG_FAILURE, "SetupApiDeviceInfoSet::HardwareIdCompare SetupDiGetDeviceRegistryProperty failed! Error: %d\n",
                 GetLastError());
        return false;
    }
    std::string first(ids, strnlen(ids, sizeof(ids)));
    if (::strncasecmp(hardwareId.c_str(), first.c_str(), hardwareId.size()) == 0) {
        LogWrite(LOG_WALK, "comparing hardware IDs (%s == %s)? Equal!\n", first, hardwareId);
        return true;
    }
    LogWrite(LOG_WALK, "comparing hardware IDs (%s == %s)? Not equal!\n", first, hardwareId);
    return false;
}

bool SetupApiDeviceInfoSet::DeviceRemove(DWORD* reboot) {
    SP_REMOVEDEVICE_PARAMS params;
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_CONFIGSPECIFIC;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(m_hDevInfo, &m_DevInfoData, &params.ClassInstallHeader, sizeof(params))) {
        LogWrite(LOG_FAILURE, "SetupApiInternalRemoveInstance SetupDiSetClassInstallParams failed! Error: %d\n",
                 GetLastError());
        return false;
    }
    if (!SetupDiCallClassInstaller(DIF_REMOVE, m_hDevInfo, &m_DevInfoData)) {
        LogWrite(LOG_FAILURE, "SetupApiInternalRemoveInstance SetupDiCallClassInstaller failed! Error: %d\n",
                 GetLastError());
        return false;
    }
    SP_DEVINSTALL_PARAMS_W install;
    if (SetupDiGetDeviceInstallParamsW(m_hDevInfo, &m_DevInfoData, &install) &&
        (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT))) {
        LogWrite(LOG_WALK, "SetupApiDeviceInfoSet::DeviceRemove Reboot => REQUIRED.\n");
        *reboot = 1;
    } else {
        LogWrite(LOG_WALK, "SetupApiDeviceInfoSet::DeviceRemove Reboot => NOT REQUIRED.\n");
        *reboot = 0;
    }
    return true;
}

bool SetupApiDeviceInfoSet::DevNodeStatusGet(ULONG* status) {
    ULONG problem = 0;
    CONFIGRET result = CM_Get_DevNode_Status(status, &problem, m_DevInfoData.DevInst, 0);
    if (result != CR_SUCCESS) {
        LogWrite(LOG_STATUS_FAILURE, "SetupApiDeviceInfoSet::DevNodeStatusGet CM_Get_DevNode_Status failed! Result: %d\n",
                 result);
        return false;
    }
    LogWrite(LOG_NODE_STATUS, "SetupApi::DevNodeStatusGet Status: 0x%x .ProblemNumber: 0x%x\n", *status, problem);
    return true;
}

bool SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning(DEVINST node) {
    DEVINST child = 0;
    CONFIGRET result = CM_Get_Child(&child, node, 0);
    if (result != CR_SUCCESS) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning CM_Get_Child failed! Result: %d\n",
                 result);
        return false;
    }
    ULONG status = 0, problem = 0;
    result = CM_Get_DevNode_Status(&status, &problem, child, 0);
    if (result != CR_SUCCESS) {
        LogWrite(LOG_FAILURE,
                 "SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning CM_Get_DevNode_Status failed! Result: %d\n",
                 result);
        return false;
    }
    if (!(status & DN_STARTED)) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning status does not indicate DN_STARTED\n");
        return false;
    }
    return true;
}

bool SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning() {
    LogWrite(LOG_ENTRY_EXIT, ">>> SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning\n");
    DEVINST device = m_DevInfoData.DevInst, first = 0;
    CONFIGRET result = CM_Get_Child(&first, device, 0);
    if (result != CR_SUCCESS) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Child failed! Result: %d\n",
                 result);
        return false;
    }
    // A HID child: the device's first child must run.
    char id[5] = {};
    result = CM_Get_Device_IDW(first, id, sizeof(id), 0);
    bool hid = false;
    if (result == CR_SUCCESS || result == CR_BUFFER_SMALL) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Device_IDW: %s\n", id);
        hid = ::strncasecmp(id, "HID\\", 4) == 0;
    } else {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Device_IDW failed! Result: %d\n",
                 result);
    }
    if (hid) return InternalCfgMgrIsChildUpAndRunning(device);
    // Otherwise two children, each with a running first child.
    if (!InternalCfgMgrIsChildUpAndRunning(first)) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning for first child failed!\n");
        return false;
    }
    DEVINST second = 0;
    result = CM_Get_Sibling(&second, first, 0);
    if (result != CR_SUCCESS) {
        LogWrite(LOG_NODE_STATUS, "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Sibling failed! Result: %d\n",
                 result);
        return false;
    }
    if (!InternalCfgMgrIsChildUpAndRunning(second)) {
        LogWrite(LOG_NODE_STATUS,
                 "SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning for second child failed! Result: %d\n", 0);
        return false;
    }
    return true;
}

bool SetupApiDeviceInfoSet::RegistryPropertyCompare() {
    char filters[kUpperFilterChars] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(m_hDevInfo, &m_DevInfoData, SPDRP_UPPERFILTERS, &type,
                                           reinterpret_cast<BYTE*>(filters), sizeof(filters), nullptr))
        return false;
    return std::strncmp(filters, kUpperFilterService, sizeof(filters)) == 0;
}

bool SetupApiDeviceInfoSet::SelectedDriverSet() {
    if (!SetupDiBuildDriverInfoList(m_hDevInfo, &m_DevInfoData, SPDIT_COMPATDRIVER)) {
        LogWrite(LOG_FAILURE, "SetupDiBuildDriverInfoList failed. GetLastError returned: %d\n", GetLastError());
        return false;
    }
    for (DWORD i = 0;; ++i) {
        SP_DRVINFO_DATA_V1_W info;
        if (!SetupDiEnumDriverInfoW(m_hDevInfo, &m_DevInfoData, SPDIT_COMPATDRIVER, i, &info)) {
            LogWrite(LOG_FAILURE, "SetupDiEnumDriverInfo failed. GetLastError returned: %d\n", GetLastError());
            return false;
        }
        OutputDebugStringW(info.MfgName);
        OutputDebugStringW("\n");
        if (std::strcmp(info.MfgName, kPackageMakerName) != 0) continue;
        if (!SetupDiSetSelectedDevice(m_hDevInfo, &m_DevInfoData)) {
            LogWrite(LOG_FAILURE, "SetupDiSetSelectedDevice failed. GetLastError returned: %d\n", GetLastError());
            return false;
        }
        if (!SetupDiSetSelectedDriverW(m_hDevInfo, &m_DevInfoData, &info)) {
            LogWrite(LOG_FAILURE, "SetupDiSetSelectedDriver failed. GetLastError returned: %d\n", GetLastError());
            return false;
        }
        return true;
    }
}

bool SetupApiDeviceInfoSet::SelectedDriverInstall(HWND window, DWORD* reboot) {
    ScopedLibrary newdev("newdev.dll");
    if (!newdev.get()) {
        LogWrite(LOG_FAILURE, "InstallSelectedDriver LoadLibrary failed.LastError returned %d\n", GetLastError());
        return false;
    }
    auto update = reinterpret_cast<InstallSelectedDriverFn>(GetProcAddress(newdev.get(), "InstallSelectedDriver"));
    if (!update) {
        LogWrite(LOG_FAILURE, "InstallSelectedDriver GetProcAddress failed.LastError returned %d\n", GetLastError());
        return false;
    }
    if (!update(window, m_hDevInfo, nullptr, FALSE, reboot)) {
        LogWrite(LOG_FAILURE, "InstallSelectedDriver UpdateFn failed. LastError returned %d\n", GetLastError());
        return false;
    }
    return true;
}

} // namespace zelhart::setup
