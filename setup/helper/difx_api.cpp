#include "difx_api.h"

#include "setup_api.h"
#include "zelhart/devdb/sysroot.h"
#include "zelhart/setupapi/difxapi.h"

#include <algorithm>
#include <vector>

namespace zelhart::setup::DifxApi {

namespace api = zelhart::setupapi;

namespace {

// The callback is installed for the length of one DIFx call.
class ScopedLogCallback {
  public:
    ScopedLogCallback() { api::DIFXAPISetLogCallbackW(&Forward, nullptr); }
    ~ScopedLogCallback() { api::DIFXAPISetLogCallbackW(nullptr, nullptr); }
    ScopedLogCallback(const ScopedLogCallback&) = delete;
    ScopedLogCallback& operator=(const ScopedLogCallback&) = delete;

  private:
    static void Forward(api::DIFXAPI_LOG type, DWORD error, const char* description, void* context) {
        LogCallback(type, error, description, context);
    }
};

constexpr size_t kErrorTextLimit = 1023;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The package's own part of a store path: what follows the driver store's directory
// ("zelhartdriver.inf_1a2b3c4d/zelhartdriver.inf"). The directory itself ("/var/lib/zelhart/...")
// holds the product's name and would match every package. A path outside the store keeps its last two
// parts, the package directory and the INF.
std::string PackagePart(const std::string& storePath) {
    std::string store = devdb::DriverStoreDir() + "/";
    if (storePath.starts_with(store)) return storePath.substr(store.size());
    size_t last = storePath.rfind('/');
    if (last == std::string::npos || last == 0) return storePath;
    size_t before = storePath.rfind('/', last - 1);
    return before == std::string::npos ? storePath : storePath.substr(before + 1);
}

} // namespace

void LogCallback(int eventType, DWORD errorCode, const char* description, void*) {
    std::string text = description ? description : "";
    std::string error;
    if ((eventType == api::DIFXAPI_WARNING || eventType == api::DIFXAPI_ERROR) && errorCode != 0)
        error = ErrorText(errorCode).substr(0, kErrorTextLimit);
    switch (eventType) {
    case api::DIFXAPI_SUCCESS: LogWrite(LOG_PACKAGE, "DIFXAPI_SUCCESS: %s.\n", text); break;
    case api::DIFXAPI_INFO: LogWrite(LOG_PACKAGE, "DIFXAPI_INFO:    %s.\n", text); break;
    case api::DIFXAPI_WARNING:
        LogWrite(LOG_PACKAGE, "DIFXAPI_WARNING: %s. Errorcode:  %d [%s]\n", text, errorCode, error);
        break;
    case api::DIFXAPI_ERROR:
        LogWrite(LOG_PACKAGE, "DIFXAPI_ERROR:   %s.  Errorcode: %d [%s]\n", text, errorCode, error);
        break;
    default: LogWrite(LOG_PACKAGE, "DIFXAPI unknown callback!\n"); break;
    }
}

ErrorNameLine ErrorName(DWORD code) {
    switch (code) {
    case api::ERROR_FILE_NOT_FOUND: return {"ERROR_FILE_NOT_FOUND\n", LOG_PACKAGE};
    case api::ERROR_ACCESS_DENIED: return {"ERROR_ACCESS_DENIED\n", LOG_PACKAGE};
    case api::ERROR_BAD_ENVIRONMENT: return {"ERROR_BAD_ENVIRONMENT\n", LOG_PACKAGE};
    case api::ERROR_OUTOFMEMORY: return {"ERROR_OUTOFMEMORY\n", LOG_PACKAGE};
    case api::ERROR_INVALID_PARAMETER: return {"ERROR_INVALID_PARAMETER\n", LOG_PACKAGE};
    case api::ERROR_INSUFFICIENT_BUFFER: return {"ERROR_INSUFFICIENT_BUFFER\n", LOG_PACKAGE};
    case api::ERROR_INVALID_NAME: return {"ERROR_INVALID_NAME\n", LOG_PACKAGE};
    case api::ERROR_FILENAME_EXCED_RANGE: return {"ERROR_FILENAME_EXCED_RANGE\n", LOG_PACKAGE};
    case api::ERROR_UNSUPPORTED_TYPE: return {"ERROR_UNSUPPORTED_TYPE\n", LOG_PACKAGE};
    case api::ERROR_CANT_ACCESS_FILE: return {"ERROR_CANT_ACCESS_FILE\n", LOG_PACKAGE};
    case api::CRYPT_E_FILE_ERROR: return {"CRYPT_E_FILE_ERROR\n", LOG_PACKAGE};
    case api::ERROR_IN_WOW64: return {"ERROR_IN_WOW64\n", LOG_PACKAGE};
    case api::ERROR_DRIVER_PACKAGE_NOT_IN_STORE:
        return {"ERROR_DRIVER_PACKAGE_NOT_IN_STORE\n", api::ERROR_DRIVER_PACKAGE_NOT_IN_STORE};
    default: return {"<Unknown Error>\n", LOG_PACKAGE};
    }
}

DWORD DriverPackageInstall(const std::string& infPath) {
    LogWrite(LOG_DIFX_ENTRY, "DifxApi::DriverPackageInstall InfFilePath: %s\n", infPath);
    ScopedLogCallback callback;
    api::BOOL reboot = api::FALSE;
    DWORD result = api::DriverPackageInstallW(infPath.c_str(), kInstallFlags, nullptr, &reboot);
    if (result == api::ERROR_SUCCESS || result == api::ERROR_NO_SUCH_DEVINST) return 0;
    LogWrite(LOG_PACKAGE, "DifxApi::DriverPackageInstall DriverPackageInstall returned 0x%x.\n", result);
    return result;
}

DWORD DriverPackagePreInstall(const std::string& infPath) {
    LogWrite(LOG_DIFX_ENTRY, "DifxApi::DriverPackagePreInstall InfFilePath: %s\n", infPath);
    ScopedLogCallback callback;
    DWORD result = api::DriverPackagePreinstallW(infPath.c_str(), kPreInstallFlags);
    if (result == api::ERROR_SUCCESS || result == api::ERROR_NO_SUCH_DEVINST) return 0;
    LogWrite(LOG_PACKAGE, "DifxApi::DriverPackagePreInstall DriverPackageInstallW returned 0x%x.\n", result);
    return result;
}

DWORD DriverPackageUninstall(const std::string& packageInfPath) {
    LogWrite(LOG_DIFX_ENTRY, "DifxApi::DriverPackageUninstall InfFilePath: %s\n", packageInfPath);
    ScopedLogCallback callback;
    api::BOOL reboot = api::FALSE;
    DWORD result = api::DriverPackageUninstallW(packageInfPath.c_str(), kUninstallFlags, nullptr, &reboot);
    if (result != 0) LogWrite(LOG_PACKAGE, "DifxApi::DriverPackageUninstall DriverPackageUninstall returned 0x%x.\n", result);
    return 0;
}

void UninstallPackagesByOemInf(const std::string& infName) {
    LogWrite(LOG_DIFX_ENTRY, "DifxApi::UninstallPackagesByOemInf\n");
    std::vector<std::string> paths;
    Utilities::GetOemInfFilePathNamesList(&paths);
    std::string name = Lower(infName);
    for (const std::string& path : paths) {
        LogWrite(LOG_PACKAGE, "%s\n", path);
        char storePath[api::MAX_PATH];
        DWORD chars = api::MAX_PATH;
        DWORD result = api::DriverPackageGetPathW(path.c_str(), storePath, &chars);
        if (result != api::ERROR_SUCCESS) {
            LogWrite(LOG_PACKAGE, "DriverPackageGetPath failed! %d\n", result);
            ErrorNameLine n = ErrorName(result);
            LogWriteLine(n.level, n.line, {});
            continue;
        }
        LogWrite(LOG_PACKAGE, "DifxApi::UninstallPackagesByOemInf enumerating %s \n", storePath);
        if (Lower(PackagePart(storePath)).find(name) != std::string::npos) {
            LogWrite(LOG_PACKAGE, "DifxApi::UninstallPackagesByOemInf ---> uninstalling \n");
            DriverPackageUninstall(storePath);
        }
    }
}

} // namespace zelhart::setup::DifxApi
