#include "zelhart/setupapi/difxapi.h"

#include "device_install.h"
#include "driver_store.h"
#include "fs_util.h"
#include "zelhart/devdb/device_db.h"

#include <cstring>
#include <mutex>

namespace zelhart::setupapi {

using namespace detail;

namespace {

constexpr DWORD kKnownFlags = DRIVER_PACKAGE_REPAIR | DRIVER_PACKAGE_SILENT | DRIVER_PACKAGE_FORCE |
                              DRIVER_PACKAGE_ONLY_IF_DEVICE_PRESENT | DRIVER_PACKAGE_LEGACY_MODE |
                              DRIVER_PACKAGE_DELETE_FILES;

struct Callback {
    std::mutex mutex;
    DIFXAPILOGCALLBACK_W function = nullptr;
    void* context = nullptr;
};

Callback& TheCallback() {
    static Callback c;
    return c;
}

void Tell(DIFXAPI_LOG type, DWORD error, const std::string& text) {
    Callback& c = TheCallback();
    DIFXAPILOGCALLBACK_W f;
    void* context;
    {
        std::lock_guard lock(c.mutex);
        f = c.function;
        context = c.context;
    }
    if (f) f(type, error, text.c_str(), context);
}

DWORD Failed(DWORD error, const std::string& text) {
    Tell(DIFXAPI_ERROR, error, text);
    return error;
}

DWORD CheckArguments(const char* path, DWORD flags) {
    if (!path || !*path || (flags & ~kKnownFlags)) return ERROR_INVALID_PARAMETER;
    if (std::strlen(path) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

// Reads and checks the package's INF: the package as it would be stored, and its text.
DWORD ReadPackage(const std::string& path, StoredPackage* package, std::string* content) {
    DWORD e = ReadWholeFile(path, kMaxInfBytes, content);
    if (e == ERROR_INVALID_DATA) return Failed(ERROR_GENERAL_SYNTAX, "INF file '" + path + "' is too large");
    if (e != ERROR_SUCCESS) return Failed(e, "INF file '" + path + "' cannot be read");
    std::string reason;
    if ((e = InfFile::Parse(*content, &package->inf, &reason)) ||
        (e = DescribeDriverPackage(package->inf, &package->description, &reason)))
        return Failed(e, "INF file '" + path + "' is not a valid driver package: " + reason);
    package->id = PackageIdFor(BaseName(path), *content);
    package->infPath = StoredInfPath(package->id);
    return ERROR_SUCCESS;
}

DWORD Install(const char* infPath, DWORD flags, bool devicesToo, BOOL* needReboot) {
    if (needReboot) *needReboot = FALSE;
    if (DWORD e = CheckArguments(infPath, flags)) return Failed(e, "bad arguments");
    std::string path = infPath;
    Tell(DIFXAPI_INFO, 0, "Installing INF file '" + path + "'");
    StoredPackage package;
    std::string content;
    if (DWORD e = ReadPackage(path, &package, &content)) return e;
    DeviceDatabaseTransaction t;
    if (DWORD e = t.Begin()) return Failed(e, "the system's device state cannot be changed");
    std::vector<DeviceNode*> fitting;
    for (DeviceNode& n : t.db().nodes)
        if (n.present && !CompatibleDrivers(n, {package}).empty()) fitting.push_back(&n);
    if (fitting.empty() && (flags & DRIVER_PACKAGE_ONLY_IF_DEVICE_PRESENT)) {
        Tell(DIFXAPI_INFO, 0, "No present device fits the driver package; it was not stored");
        return ERROR_NO_SUCH_DEVINST;
    }
    std::string id, oem;
    if (DWORD e = AddToStore(BaseName(path), content, flags & DRIVER_PACKAGE_REPAIR, &id))
        return Failed(e, "the driver package cannot be stored");
    if (DWORD e = PublishOemInf(id, BaseName(path), content, &oem))
        return Failed(e, "the OEM copy of the INF cannot be written");
    Tell(DIFXAPI_SUCCESS, 0, "Driver package stored as '" + StoredInfPath(id) + "', OEM copy '" + oem + "'");
    if (!devicesToo) return ERROR_SUCCESS;
    if (fitting.empty()) {
        Tell(DIFXAPI_INFO, 0, "No present device fits the driver package");
        return ERROR_NO_SUCH_DEVINST;
    }
    bool restart = false;
    for (DeviceNode* n : fitting) {
        restart |= BindDriver(n, package, CompatibleDrivers(*n, {package}).front());
        Tell(DIFXAPI_INFO, 0, "Installing the driver on device '" + n->instanceId + "'");
    }
    if (DWORD e = t.Commit()) return Failed(e, "the device database cannot be written");
    if (restart && needReboot) *needReboot = TRUE;
    Tell(DIFXAPI_SUCCESS, 0, "Driver package installed on " + std::to_string(fitting.size()) + " device(s)");
    return ERROR_SUCCESS;
}

} // namespace

void DIFXAPISetLogCallbackW(DIFXAPILOGCALLBACK_W callback, void* callbackContext) {
    Callback& c = TheCallback();
    std::lock_guard lock(c.mutex);
    c.function = callback;
    c.context = callbackContext;
}

DWORD DriverPackageInstallW(const char* infPath, DWORD flags, const INSTALLERINFO_W*, BOOL* needReboot) {
    return Install(infPath, flags, true, needReboot);
}

DWORD DriverPackagePreinstallW(const char* infPath, DWORD flags) { return Install(infPath, flags, false, nullptr); }

DWORD DriverPackageUninstallW(const char* infPath, DWORD flags, const INSTALLERINFO_W*, BOOL* needReboot) {
    if (needReboot) *needReboot = FALSE;
    if (DWORD e = CheckArguments(infPath, flags)) return Failed(e, "bad arguments");
    std::string path = infPath;
    Tell(DIFXAPI_INFO, 0, "Uninstalling driver package '" + path + "'");
    DeviceDatabaseTransaction t;
    if (DWORD e = t.Begin()) return Failed(e, "the system's device state cannot be changed");
    std::string id;
    if (DWORD e = ResolvePackage(path, &id)) return Failed(e, "'" + path + "' belongs to no driver package in the store");
    size_t devices = 0;
    for (DeviceNode& n : t.db().nodes)
        if (n.driverPackage == id) {
            UnbindDriver(&n);
            ++devices;
        }
    if (devices) {
        if (DWORD e = t.Commit()) return Failed(e, "the device database cannot be written");
        Tell(DIFXAPI_INFO, 0, "Driver removed from " + std::to_string(devices) + " device(s)");
    }
    if (DWORD e = RemoveOemInfsOf(id)) Tell(DIFXAPI_WARNING, e, "An OEM copy of the INF could not be deleted");
    if (DWORD e = RemoveFromStore(id)) return Failed(e, "the driver package cannot be removed from the store");
    Tell(DIFXAPI_SUCCESS, 0, "Driver package '" + StoredInfPath(id) + "' uninstalled");
    return ERROR_SUCCESS;
}

DWORD DriverPackageGetPathW(const char* infPath, char* destInfPath, DWORD* numOfChars) {
    if (!infPath || !*infPath || !numOfChars) return ERROR_INVALID_PARAMETER;
    if (std::strlen(infPath) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    std::string id;
    if (DWORD e = ResolvePackage(infPath, &id)) return e;
    std::string stored = StoredInfPath(id);
    DWORD needed = static_cast<DWORD>(stored.size() + 1);
    if (!destInfPath || *numOfChars < needed) {
        *numOfChars = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(destInfPath, stored.c_str(), needed);
    *numOfChars = needed;
    return ERROR_SUCCESS;
}

} // namespace zelhart::setupapi
