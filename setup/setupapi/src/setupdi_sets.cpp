// Device information sets: filling, walking, creating elements, properties and device keys.
#include "device_info_sets.h"
#include "fs_util.h"
#include "handles.h"
#include "zelhart/setupapi/cfgmgr32.h"

#include <cstring>

namespace zelhart::setupapi {

using namespace detail;

namespace detail {

HandleTable<DeviceInfoSet>& Sets() {
    static HandleTable<DeviceInfoSet> table;
    return table;
}

DeviceInfoSet* LookUpSet(HDEVINFO handle) { return Sets().Get(handle); }

Element* LookUpElement(HDEVINFO handle, SP_DEVINFO_DATA* data, DeviceInfoSet** setOut) {
    DeviceInfoSet* set = LookUpSet(handle);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved == 0 || data->Reserved > set->elements.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (setOut) *setOut = set;
    return &set->elements[data->Reserved - 1];
}

void FillDevInfoData(const Element& e, size_t index, SP_DEVINFO_DATA* data) {
    data->ClassGuid = e.classGuid;
    data->DevInst = e.devInst;
    data->Reserved = index + 1;
}

DWORD CurrentNode(const Element& e, DeviceNode* node) {
    if (e.instanceId.empty()) return ERROR_NO_SUCH_DEVINST;
    DeviceDatabase db;
    if (DWORD err = LoadDeviceDatabase(&db)) return err;
    const DeviceNode* n = db.Find(e.instanceId);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    *node = *n;
    return ERROR_SUCCESS;
}

} // namespace detail

namespace {

struct KeyObject {};

HandleTable<KeyObject>& Keys() {
    static HandleTable<KeyObject> table;
    return table;
}

// The name of a setup class: from a stored package of that class, else from a node of it.
std::string ClassNameOf(const GUID& guid) {
    for (const StoredPackage& p : ListStoredPackages())
        if (p.description.classGuid == guid) return p.description.className;
    DeviceDatabase db;
    if (LoadDeviceDatabase(&db) == ERROR_SUCCESS)
        for (const DeviceNode& n : db.nodes)
            if (n.classGuid == guid && !n.className.empty()) return n.className;
    return "Unknown";
}

Element ElementOf(const DeviceNode& n) {
    Element e;
    e.instanceId = n.instanceId;
    e.classGuid = n.classGuid;
    e.className = n.className;
    e.devInst = DevInstFor(n.instanceId);
    return e;
}

// The strings of a multi-string buffer; false when it is malformed or an ID is not acceptable.
bool ParseMultiSz(const BYTE* buffer, DWORD size, std::vector<std::string>* out) {
    out->clear();
    if (!buffer || size == 0) return true;
    const char* p = reinterpret_cast<const char*>(buffer);
    size_t pos = 0;
    while (pos < size) {
        const void* nul = std::memchr(p + pos, '\0', size - pos);
        if (!nul) return false;
        size_t len = static_cast<const char*>(nul) - (p + pos);
        if (len == 0) return true;
        std::string_view id(p + pos, len);
        if (!IsDeviceIdText(id, kMaxHardwareIdLength) || out->size() >= kMaxIdsPerList) return false;
        out->emplace_back(id);
        pos += len + 1;
    }
    return true; // ended by the size: taken as ended by the terminator
}

std::vector<std::string>* PropertyOf(DeviceNode* n, DWORD property) {
    switch (property) {
    case SPDRP_HARDWAREID: return &n->hardwareIds;
    case SPDRP_COMPATIBLEIDS: return &n->compatibleIds;
    case SPDRP_UPPERFILTERS: return &n->upperFilters;
    default: return nullptr;
    }
}

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, const char* enumerator, HWND, DWORD flags) {
    if ((flags & ~(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE)) ||
        (!(flags & DIGCF_ALLCLASSES) && !classGuid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string_view filter = enumerator ? enumerator : "";
    if (enumerator && !IsDeviceIdText(filter, kMaxDeviceIdLength)) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_HANDLE_VALUE;
    }
    DeviceDatabase db;
    if (DWORD e = LoadDeviceDatabase(&db)) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DeviceInfoSet>();
    if (!(flags & DIGCF_ALLCLASSES)) set->classGuid = *classGuid;
    std::string prefix = std::string(filter) + "\\";
    for (const DeviceNode& n : db.nodes) {
        if ((flags & DIGCF_PRESENT) && !n.present) continue;
        if (set->classGuid && n.classGuid != *set->classGuid) continue;
        if (!filter.empty() && !StartsWithNoCase(n.instanceId, prefix)) continue;
        set->elements.push_back(ElementOf(n));
    }
    return Sets().Add(std::move(set));
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND) {
    auto set = std::make_unique<DeviceInfoSet>();
    if (classGuid) set->classGuid = *classGuid;
    return Sets().Add(std::move(set));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) { return Sets().Remove(set) ? TRUE : Fail(ERROR_INVALID_HANDLE); }

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, SP_DEVINFO_DATA* data) {
    DeviceInfoSet* set = LookUpSet(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
    FillDevInfoData(set->elements[index], index, data);
    return TRUE;
}

BOOL SetupDiCreateDeviceInfoW(HDEVINFO handle, const char* deviceName, const GUID* classGuid, const char*, HWND,
                              DWORD flags, SP_DEVINFO_DATA* data) {
    DeviceInfoSet* set = LookUpSet(handle);
    if (!set) return Fail(ERROR_INVALID_HANDLE);
    if (!classGuid || (flags & ~DICD_GENERATE_ID)) return Fail(ERROR_INVALID_PARAMETER);
    if (set->classGuid && *set->classGuid != *classGuid) return Fail(ERROR_CLASS_MISMATCH);
    std::string_view name = deviceName ? deviceName : "";
    bool generate = flags & DICD_GENERATE_ID;
    if (!IsDeviceIdText(name, generate ? kMaxDeviceIdLength - 10 : kMaxDeviceIdLength) ||
        (generate && name.find('\\') != std::string_view::npos))
        return Fail(ERROR_INVALID_DEVINST_NAME);
    if (!generate) {
        DeviceDatabase db;
        if (DWORD e = LoadDeviceDatabase(&db)) return Fail(e);
        if (db.Find(name)) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
    }
    Element e;
    e.created = true;
    e.generateId = generate;
    e.deviceName = name;
    e.classGuid = *classGuid;
    e.className = ClassNameOf(*classGuid);
    set->elements.push_back(std::move(e));
    if (data) {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
        FillDevInfoData(set->elements.back(), set->elements.size() - 1, data);
    }
    return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO handle, SP_DEVINFO_DATA* data, DWORD property, const BYTE* buffer,
                                       DWORD size) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    std::vector<std::string> value;
    DeviceNode scratch;
    if (!PropertyOf(&scratch, property)) return Fail(ERROR_INVALID_REG_PROPERTY);
    if (!ParseMultiSz(buffer, size, &value)) return Fail(ERROR_INVALID_PARAMETER);
    if (e->instanceId.empty()) {
        *(property == SPDRP_HARDWAREID ? &e->hardwareIds
                                       : property == SPDRP_COMPATIBLEIDS ? &e->compatibleIds : &e->upperFilters) = value;
        return TRUE;
    }
    DeviceDatabaseTransaction t;
    if (DWORD err = t.Begin()) return Fail(err);
    DeviceNode* n = t.db().Find(e->instanceId);
    if (!n) return Fail(ERROR_NO_SUCH_DEVINST);
    *PropertyOf(n, property) = std::move(value);
    if (DWORD err = t.Commit()) return Fail(err);
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, SP_DEVINFO_DATA* data, DWORD property, DWORD* regType,
                                       BYTE* buffer, DWORD size, DWORD* required) {
    Element* e = LookUpElement(handle, data);
    if (!e) return FALSE;
    DeviceNode n;
    if (e->instanceId.empty()) {
        n.hardwareIds = e->hardwareIds;
        n.compatibleIds = e->compatibleIds;
        n.upperFilters = e->upperFilters;
    } else if (DWORD err = CurrentNode(*e, &n)) {
        return Fail(err);
    }
    const std::vector<std::string>* value = PropertyOf(&n, property);
    if (!value) return Fail(ERROR_INVALID_REG_PROPERTY);
    if (value->empty()) return Fail(ERROR_INVALID_DATA);
    std::string multi;
    for (const std::string& s : *value)
        multi.append(s).push_back('\0');
    multi.push_back('\0');
    if (regType) *regType = REG_MULTI_SZ;
    if (required) *required = static_cast<DWORD>(multi.size());
    if (!buffer || multi.size() > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, multi.data(), multi.size());
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO handle, SP_DEVINFO_DATA* data, DWORD scope, DWORD, DWORD keyType,
                          REGSAM desired) {
    Element* e = LookUpElement(handle, data);
    if (!e) return INVALID_HANDLE_VALUE;
    if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceNode n;
    if (DWORD err = CurrentNode(*e, &n)) {
        SetLastError(err == ERROR_NO_SUCH_DEVINST ? ERROR_KEY_DOES_NOT_EXIST : err);
        return INVALID_HANDLE_VALUE;
    }
    constexpr REGSAM kWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;
    if ((desired & kWriteRights) && StateLock::CheckWriteAccess() != ERROR_SUCCESS) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return Keys().Add(std::make_unique<KeyObject>());
}

int32_t RegCloseKey(HKEY key) { return Keys().Remove(key) ? 0 : static_cast<int32_t>(ERROR_INVALID_HANDLE); }

} // namespace zelhart::setupapi
