// Class installer calls, driver lists and driver installation.
#include "device_info_sets.h"
#include "fs_util.h"
#include "zelhart/setupapi/cfgmgr32.h"
#include "zelhart/setupapi/newdev.h"

#include <cstdio>

namespace zelhart::setupapi {

using namespace detail;

namespace {

constexpr int kMaxGeneratedInstance = 9999;

// ROOT\<NAME>\<NNNN>, the lowest number no node has.
std::string GenerateInstanceId(const DeviceDatabase& db, const std::string& name) {
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (int n = 0; n <= kMaxGeneratedInstance; ++n) {
        char suffix[16]; // room for any int, though n stays within 0..9999
        std::snprintf(suffix, sizeof(suffix), "%04d", n);
        std::string id = "ROOT\\" + upper + "\\" + suffix;
        if (!db.Find(id)) return id;
    }
    return {};
}

BOOL RegisterDevice(Element* e) {
    if (!e->created || !e->instanceId.empty()) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
    DeviceDatabaseTransaction t;
    if (DWORD err = t.Begin()) return Fail(err);
    DeviceDatabase& db = t.db();
    if (db.nodes.size() >= kMaxDeviceNodes) return Fail(ERROR_DISK_FULL);
    std::string id = e->generateId ? GenerateInstanceId(db, e->deviceName) : e->deviceName;
    if (id.empty() || db.Find(id)) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
    DeviceNode node;
    node.instanceId = id;
    node.classGuid = e->classGuid;
    node.className = e->className;
    node.hardwareIds = e->hardwareIds;
    node.compatibleIds = e->compatibleIds;
    node.upperFilters = e->upperFilters;
    MarkWithoutDriver(&node);
    // New hardware gets the first matching driver of the store.
    std::vector<StoredPackage> packages = ListStoredPackages();
    for (const DriverCandidate& c : CompatibleDrivers(node, packages)) {
        for (const StoredPackage& p : packages)
            if (p.id == c.packageId) BindDriver(&node, p, c);
        break;
    }
    db.nodes.push_back(std::move(node));
    if (DWORD err = t.Commit()) return Fail(err);
    e->instanceId = id;
    e->devInst = DevInstFor(id);
    return TRUE;
}

BOOL RemoveDevice(Element* e) {
    if (!e->removeParams) return Fail(ERROR_INVALID_PARAMETER);
    if (e->instanceId.empty()) return Fail(ERROR_NO_SUCH_DEVINST);
    DeviceDatabaseTransaction t;
    if (DWORD err = t.Begin()) return Fail(err);
    DeviceDatabase& db = t.db();
    const DeviceNode* n = db.Find(e->instanceId);
    if (!n) return Fail(ERROR_NO_SUCH_DEVINST);
    bool restart = false;
    for (const DeviceNode& other : db.nodes) {
        bool below = false;
        for (const DeviceNode* at = &other; at; at = db.Find(at->parent))
            if (EqualsNoCase(at->instanceId, n->instanceId)) {
                below = true;
                break;
            }
        if (below && ChangeNeedsRestart(other)) restart = true;
    }
    db.RemoveSubtree(e->instanceId);
    if (DWORD err = t.Commit()) return Fail(err);
    if (restart) e->installFlags |= DI_NEEDREBOOT;
    return TRUE;
}

void CopyText(char (&dst)[LINE_LEN], const std::string& src) {
    std::snprintf(dst, LINE_LEN, "%s", src.c_str());
}

} // namespace

BOOL SetupDiSetClassInstallParamsW(HDEVINFO handle, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params,
                                   DWORD size) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    if (!params) {
        e->removeParams.reset();
        return TRUE;
    }
    if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER) || params->InstallFunction != DIF_REMOVE ||
        size != sizeof(SP_REMOVEDEVICE_PARAMS))
        return Fail(ERROR_INVALID_PARAMETER);
    auto* remove = reinterpret_cast<SP_REMOVEDEVICE_PARAMS*>(params);
    if (remove->Scope != DI_REMOVEDEVICE_GLOBAL && remove->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
        return Fail(ERROR_INVALID_PARAMETER);
    e->removeParams = *remove;
    return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, SP_DEVINFO_DATA* data) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    switch (function) {
    case DIF_REGISTERDEVICE: return RegisterDevice(e);
    case DIF_REMOVE: return RemoveDevice(e);
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO handle, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_W* params) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    params->Flags = e->installFlags;
    return TRUE;
}

BOOL SetupDiBuildDriverInfoList(HDEVINFO handle, SP_DEVINFO_DATA* data, DWORD driverType) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    if (driverType != SPDIT_COMPATDRIVER) return Fail(ERROR_INVALID_PARAMETER);
    DeviceNode n;
    if (DWORD err = CurrentNode(*e, &n)) return Fail(err);
    e->drivers = CompatibleDrivers(n, ListStoredPackages());
    e->driverListBuilt = true;
    e->selectedDriver = -1;
    return TRUE;
}

BOOL SetupDiEnumDriverInfoW(HDEVINFO handle, SP_DEVINFO_DATA* data, DWORD driverType, DWORD index,
                            SP_DRVINFO_DATA_V1_W* info) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    if (driverType != SPDIT_COMPATDRIVER) return Fail(ERROR_INVALID_PARAMETER);
    if (!info || info->cbSize != sizeof(SP_DRVINFO_DATA_V1_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (!e->driverListBuilt || index >= e->drivers.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const DriverCandidate& c = e->drivers[index];
    info->DriverType = SPDIT_COMPATDRIVER;
    info->Reserved = index + 1;
    CopyText(info->Description, c.description);
    CopyText(info->MfgName, c.manufacturer);
    CopyText(info->ProviderName, c.provider);
    return TRUE;
}

BOOL SetupDiSetSelectedDevice(HDEVINFO handle, SP_DEVINFO_DATA* data) {
    DeviceInfoSet* set = nullptr;
    if (!LookUpElement(handle, data, &set)) return FALSE;
    set->selectedDevice = static_cast<int>(data->Reserved - 1);
    return TRUE;
}

BOOL SetupDiSetSelectedDriverW(HDEVINFO handle, SP_DEVINFO_DATA* data, SP_DRVINFO_DATA_V1_W* info) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    if (!info) {
        e->selectedDriver = -1;
        return TRUE;
    }
    if (info->cbSize != sizeof(SP_DRVINFO_DATA_V1_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (info->Reserved == 0 || info->Reserved > e->drivers.size()) return Fail(ERROR_INVALID_PARAMETER);
    e->selectedDriver = static_cast<int>(info->Reserved - 1);
    return TRUE;
}

BOOL InstallSelectedDriver(HWND, HDEVINFO handle, const char*, BOOL, DWORD* reboot) {
    DeviceInfoSet* set = LookUpSet(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (set->selectedDevice < 0) return Fail(ERROR_NO_DEVICE_SELECTED);
    Element& e = set->elements[static_cast<size_t>(set->selectedDevice)];
    if (e.selectedDriver < 0) return Fail(ERROR_NO_DRIVER_SELECTED);
    const DriverCandidate& driver = e.drivers[static_cast<size_t>(e.selectedDriver)];
    auto package = LoadStoredPackage(driver.packageId);
    if (!package) return Fail(ERROR_DRIVER_PACKAGE_NOT_IN_STORE);
    DeviceDatabaseTransaction t;
    if (DWORD err = t.Begin()) return Fail(err);
    DeviceNode* n = t.db().Find(e.instanceId);
    if (!n || !n->present) return Fail(ERROR_NO_SUCH_DEVINST);
    bool restart = BindDriver(n, *package, driver);
    if (DWORD err = t.Commit()) return Fail(err);
    if (reboot) *reboot = restart ? 1 : 0;
    return TRUE;
}

} // namespace zelhart::setupapi
