// The driver install frameworks (DIFx) over the driver store: packages in and out of the store, their
// OEM INF copies, and installation on the present devices they fit.
//
// Flags: REPAIR stores the INF again even when the same package is already there;
// ONLY_IF_DEVICE_PRESENT stores nothing unless a present device fits (ERROR_NO_SUCH_DEVINST);
// SILENT, FORCE, LEGACY_MODE and DELETE_FILES are accepted and change nothing here (there are no
// signatures, driver ranks or driver binaries to copy). Unknown flags: ERROR_INVALID_PARAMETER.
#pragma once

#include "zelhart/setupapi/win32.h"

namespace zelhart::setupapi {

inline constexpr DWORD DRIVER_PACKAGE_REPAIR = 0x1;
inline constexpr DWORD DRIVER_PACKAGE_SILENT = 0x2;
inline constexpr DWORD DRIVER_PACKAGE_FORCE = 0x4;
inline constexpr DWORD DRIVER_PACKAGE_ONLY_IF_DEVICE_PRESENT = 0x8;
inline constexpr DWORD DRIVER_PACKAGE_LEGACY_MODE = 0x10;
inline constexpr DWORD DRIVER_PACKAGE_DELETE_FILES = 0x20;

enum DIFXAPI_LOG { DIFXAPI_SUCCESS = 0, DIFXAPI_INFO = 1, DIFXAPI_WARNING = 2, DIFXAPI_ERROR = 3 };
using DIFXAPILOGCALLBACK_W = void (*)(DIFXAPI_LOG eventType, DWORD errorCode, const char* eventDescription,
                                      void* callbackContext);

struct INSTALLERINFO_W {
    const char* pApplicationId = nullptr;
    const char* pDisplayName = nullptr;
    const char* pProductName = nullptr;
    const char* pMfgName = nullptr;
};

// The callback that hears every step of the calls below (null: none).
void DIFXAPISetLogCallbackW(DIFXAPILOGCALLBACK_W callback, void* callbackContext);

// Stores the package and installs it on every present device one of whose IDs a model names.
// ERROR_SUCCESS; ERROR_NO_SUCH_DEVINST when no device fits (the package is stored all the same); the
// INF's error (ERROR_FILE_NOT_FOUND, ERROR_GENERAL_SYNTAX, ...); ERROR_ACCESS_DENIED for a caller who
// may not write the system's state; ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH or more.
DWORD DriverPackageInstallW(const char* driverPackageInfPath, DWORD flags, const INSTALLERINFO_W* installerInfo,
                            BOOL* needReboot);
// Stores the package (and its OEM copy) without installing it on devices.
DWORD DriverPackagePreinstallW(const char* driverPackageInfPath, DWORD flags);
// Takes the package off its devices, deletes its OEM copies and removes it from the store.
// ERROR_DRIVER_PACKAGE_NOT_IN_STORE when the INF belongs to no stored package.
DWORD DriverPackageUninstallW(const char* driverPackageInfPath, DWORD flags, const INSTALLERINFO_W* installerInfo,
                              BOOL* needReboot);
// The store path of the package an INF (an OEM copy, a store copy or an original) belongs to.
// `numOfChars` holds the buffer's size and gets the size needed (ERROR_INSUFFICIENT_BUFFER).
DWORD DriverPackageGetPathW(const char* driverPackageInfPath, char* destInfPath, DWORD* numOfChars);

} // namespace zelhart::setupapi
