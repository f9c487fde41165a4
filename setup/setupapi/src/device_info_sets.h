// The objects behind HDEVINFO handles.
#pragma once

#include "device_install.h"
#include "zelhart/setupapi/setupapi.h"

#include <optional>

namespace zelhart::setupapi::detail {

struct Element {
    std::string instanceId; // empty while a created element is not registered
    bool created = false;   // made by SetupDiCreateDeviceInfoW
    bool generateId = false;
    std::string deviceName; // the name given at creation
    GUID classGuid{};
    std::string className;
    std::vector<std::string> hardwareIds, compatibleIds, upperFilters; // of a created element
    DWORD devInst = 0;
    std::optional<SP_REMOVEDEVICE_PARAMS> removeParams;
    DWORD installFlags = 0;
    bool driverListBuilt = false;
    std::vector<DriverCandidate> drivers;
    int selectedDriver = -1;
};

struct DeviceInfoSet {
    std::optional<GUID> classGuid;
    std::vector<Element> elements;
    int selectedDevice = -1;
};

DeviceInfoSet* LookUpSet(HDEVINFO handle);

// The set and the element `data` names (its Reserved field); sets ERROR_INVALID_HANDLE,
// ERROR_INVALID_USER_BUFFER or ERROR_INVALID_PARAMETER and returns nullptr otherwise.
Element* LookUpElement(HDEVINFO handle, SP_DEVINFO_DATA* data, DeviceInfoSet** set = nullptr);

void FillDevInfoData(const Element& e, size_t index, SP_DEVINFO_DATA* data);

// The element's device node as the database holds it now; ERROR_NO_SUCH_DEVINST when it is not there.
DWORD CurrentNode(const Element& e, DeviceNode* node);

// Fails with `code` as the last error; FALSE.
inline BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace zelhart::setupapi::detail
