// SetupAPI over the device database and the driver store (device_db.h, sysroot.h): the calls the
// setup helper makes, with the system's names, structures, flags and error codes.
//
// A device information set is a snapshot of the device nodes that matched when it was filled; an
// element stays in its set after its device has been removed, so a walk by index visits every device
// it started with. Properties are read from the database as it is now. Everything that changes the
// database takes the state lock and fails with ERROR_ACCESS_DENIED for a caller who may not write it.
#pragma once

#include "zelhart/setupapi/win32.h"

namespace zelhart::setupapi {

inline constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
inline constexpr DWORD ERROR_CLASS_MISMATCH = 0xE0000201;
inline constexpr DWORD ERROR_KEY_DOES_NOT_EXIST = 0xE0000204;

// SetupDiGetClassDevsW flags.
inline constexpr DWORD DIGCF_DEFAULT = 0x1;
inline constexpr DWORD DIGCF_PRESENT = 0x2;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x4;
inline constexpr DWORD DIGCF_PROFILE = 0x8;

// Registry properties (all REG_MULTI_SZ here).
inline constexpr DWORD SPDRP_HARDWAREID = 0x1;
inline constexpr DWORD SPDRP_COMPATIBLEIDS = 0x2;
inline constexpr DWORD SPDRP_UPPERFILTERS = 0x11;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Class installer functions and parameters.
using DI_FUNCTION = DWORD;
inline constexpr DI_FUNCTION DIF_REMOVE = 0x5;
inline constexpr DI_FUNCTION DIF_REGISTERDEVICE = 0x19;
inline constexpr DWORD DI_REMOVEDEVICE_GLOBAL = 0x1;
inline constexpr DWORD DI_REMOVEDEVICE_CONFIGSPECIFIC = 0x2;
inline constexpr DWORD DI_NEEDRESTART = 0x80;
inline constexpr DWORD DI_NEEDREBOOT = 0x100;
inline constexpr DWORD DICD_GENERATE_ID = 0x1;

// Registry keys of a device (the administrator test opens one for full access).
inline constexpr DWORD DICS_FLAG_GLOBAL = 0x1;
inline constexpr DWORD DIREG_DEV = 0x1;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Driver lists.
inline constexpr DWORD SPDIT_COMPATDRIVER = 0x2;
inline constexpr size_t LINE_LEN = 256;

// SetupPromptReboot results.
inline constexpr INT SPFILEQ_REBOOT_RECOMMENDED = 0x2;

struct SP_DEVINFO_DATA {
    DWORD cbSize = sizeof(SP_DEVINFO_DATA);
    GUID ClassGuid{};
    DWORD DevInst = 0;
    uintptr_t Reserved = 0;
};

struct SP_CLASSINSTALL_HEADER {
    DWORD cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    DI_FUNCTION InstallFunction = 0;
};
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8);

struct SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope = 0;
    DWORD HwProfile = 0;
};

struct SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
    DWORD Flags = 0;
    DWORD FlagsEx = 0;
    HWND hwndParent = nullptr;
};

// The first version of the driver information, without date and version.
struct SP_DRVINFO_DATA_V1_W {
    DWORD cbSize = sizeof(SP_DRVINFO_DATA_V1_W);
    DWORD DriverType = 0;
    uintptr_t Reserved = 0;
    char Description[LINE_LEN] = {};
    char MfgName[LINE_LEN] = {};
    char ProviderName[LINE_LEN] = {};
};

inline constexpr DWORD INFINFO_INF_NAME_IS_ABSOLUTE = 2;
inline constexpr DWORD INF_STYLE_WIN4 = 2;
struct SP_INF_INFORMATION {
    DWORD InfStyle = 0;
    DWORD InfCount = 0;
    char VersionData[4096 - 8] = {}; // the INF's path
};

struct SP_ORIGINAL_FILE_INFO_W {
    DWORD cbSize = sizeof(SP_ORIGINAL_FILE_INFO_W);
    char OriginalInfName[MAX_PATH] = {};
    char OriginalCatalogName[MAX_PATH] = {};
};

// Device information sets.
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags);
HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data);
// A new element, registered only by DIF_REGISTERDEVICE. With DICD_GENERATE_ID the instance ID is
// ROOT\<NAME>\<NNNN> with the lowest free number at registration.
BOOL SetupDiCreateDeviceInfoW(HDEVINFO set, const char* deviceName, const GUID* classGuid, const char* description,
                              HWND parent, DWORD flags, SP_DEVINFO_DATA* data);

// Multi-string properties: `buffer` holds strings each ended by a NUL, the list ended by one more NUL.
// Each ID is at most 255 characters of printable ASCII without blanks or commas (ERROR_INVALID_PARAMETER).
BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, const BYTE* buffer,
                                       DWORD size);
// ERROR_INVALID_DATA when the device has no such value; ERROR_INSUFFICIENT_BUFFER (with `required`)
// when it does not fit.
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, DWORD* regType,
                                       BYTE* buffer, DWORD size, DWORD* required);

// Opening a device's key for writing is the administrator test: it fails with ERROR_ACCESS_DENIED
// when the device database is not the caller's to write.
HKEY SetupDiOpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD scope, DWORD hwProfile, DWORD keyType,
                          REGSAM desired);
int32_t RegCloseKey(HKEY key);

// Class installer: DIF_REGISTERDEVICE (the new element becomes a device node; a driver of the store
// that matches its IDs is installed on it, as the system does for new hardware) and DIF_REMOVE (the
// node and the nodes below it leave the database; DI_NEEDREBOOT is set when one of them was running
// and cannot be stopped, that is started without DN_DISABLEABLE).
BOOL SetupDiSetClassInstallParamsW(HDEVINFO set, SP_DEVINFO_DATA* data, SP_CLASSINSTALL_HEADER* params, DWORD size);
BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, SP_DEVINFO_DATA* data);
BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DEVINSTALL_PARAMS_W* params);

// Compatible drivers: every model of every stored package one of whose IDs equals (letter case
// ignored) one of the device's hardware or compatible IDs, in store order.
BOOL SetupDiBuildDriverInfoList(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD driverType);
BOOL SetupDiEnumDriverInfoW(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD driverType, DWORD index,
                            SP_DRVINFO_DATA_V1_W* driverInfo);
BOOL SetupDiSetSelectedDevice(HDEVINFO set, SP_DEVINFO_DATA* data);
BOOL SetupDiSetSelectedDriverW(HDEVINFO set, SP_DEVINFO_DATA* data, SP_DRVINFO_DATA_V1_W* driverInfo);

// INF files.
BOOL SetupDiGetINFClassW(const char* infName, GUID* classGuid, char* className, DWORD classNameSize,
                         DWORD* requiredSize);
BOOL SetupGetInfInformationW(const char* infName, DWORD searchControl, SP_INF_INFORMATION* info, DWORD size,
                             DWORD* requiredSize);
// The name the INF had before it was copied into the INF directory (its .pnf), or its own name.
BOOL SetupQueryInfOriginalFileInformationW(SP_INF_INFORMATION* info, UINT infIndex, const void* altPlatform,
                                           SP_ORIGINAL_FILE_INFO_W* original);

// The reboot prompt: nobody is asked here. <root>/var/run/reboot-required is written and standard
// error says so. SPFILEQ_REBOOT_RECOMMENDED, or -1 with the error when the file cannot be written.
INT SetupPromptReboot(HSPFILEQ fileQueue, HWND owner, BOOL scanOnly);

} // namespace zelhart::setupapi
