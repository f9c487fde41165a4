// INF queries and the reboot prompt.
#include "driver_store.h"
#include "fs_util.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/setupapi/setupapi.h"
#include "zelhart/devdb/sysroot.h"

#include <cstdio>
#include <cstring>

namespace zelhart::setupapi {

namespace {

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

bool CopyPath(char* dst, size_t size, const std::string& src) {
    if (src.size() + 1 > size) return false;
    std::memcpy(dst, src.c_str(), src.size() + 1);
    return true;
}

} // namespace

BOOL SetupDiGetINFClassW(const char* infName, GUID* classGuid, char* className, DWORD classNameSize,
                         DWORD* requiredSize) {
    if (!infName || !classGuid || !className) return Fail(ERROR_INVALID_PARAMETER);
    InfFile inf;
    std::string name;
    GUID guid;
    if (DWORD e = ReadInfFile(infName, &inf, nullptr)) return Fail(e);
    if (DWORD e = GetInfClass(inf, &name, &guid, nullptr)) return Fail(e);
    if (requiredSize) *requiredSize = static_cast<DWORD>(name.size() + 1);
    if (!CopyPath(className, classNameSize, name)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    *classGuid = guid;
    return TRUE;
}

BOOL SetupGetInfInformationW(const char* infName, DWORD searchControl, SP_INF_INFORMATION* info, DWORD size,
                             DWORD* requiredSize) {
    if (!infName || searchControl != INFINFO_INF_NAME_IS_ABSOLUTE || infName[0] != '/')
        return Fail(ERROR_INVALID_PARAMETER);
    InfFile inf;
    if (DWORD e = ReadInfFile(infName, &inf, nullptr)) return Fail(e);
    if (requiredSize) *requiredSize = sizeof(SP_INF_INFORMATION);
    if (!info || size < sizeof(SP_INF_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    *info = SP_INF_INFORMATION{};
    info->InfStyle = INF_STYLE_WIN4;
    info->InfCount = 1;
    if (!CopyPath(info->VersionData, sizeof(info->VersionData), infName)) return Fail(ERROR_FILENAME_EXCED_RANGE);
    return TRUE;
}

BOOL SetupQueryInfOriginalFileInformationW(SP_INF_INFORMATION* info, UINT infIndex, const void*,
                                           SP_ORIGINAL_FILE_INFO_W* original) {
    if (!info || info->InfCount != 1 || infIndex != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (!original || original->cbSize != sizeof(SP_ORIGINAL_FILE_INFO_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::string path(info->VersionData, strnlen(info->VersionData, sizeof(info->VersionData)));
    // An INF that did not come in through the INF directory (or whose .pnf is unreadable) is its own
    // original.
    detail::PnfInfo pnf;
    std::string name = detail::ReadPnf(path, &pnf) == ERROR_SUCCESS ? pnf.originalName : detail::BaseName(path);
    *original = SP_ORIGINAL_FILE_INFO_W{};
    if (!CopyPath(original->OriginalInfName, sizeof(original->OriginalInfName), name))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return TRUE;
}

INT SetupPromptReboot(HSPFILEQ fileQueue, HWND, BOOL scanOnly) {
    if (scanOnly && !fileQueue) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::string path = RebootRequiredPath();
    std::string dir = path.substr(0, path.find_last_of('/'));
    DWORD e = detail::MakeDirectories(dir);
    if (e == ERROR_SUCCESS) e = detail::ReplaceFileAtomically(path, "*** System restart required ***\n");
    if (e != ERROR_SUCCESS) {
        SetLastError(e);
        return -1;
    }
    std::fprintf(stderr, "The system must be restarted to finish setting up the devices (%s).\n", path.c_str());
    std::fflush(stderr);
    return SPFILEQ_REBOOT_RECOMMENDED;
}

} // namespace zelhart::setupapi
