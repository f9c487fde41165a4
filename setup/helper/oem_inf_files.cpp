// The OEM INF copies of the INF directory: listing them and deleting those of a package.
#include "setup_api.h"

#include "zelhart/setupapi/setupapi.h"
#include "zelhart/setupapi/winbase.h"

#include <cstring>
#include <strings.h>

namespace zelhart::setup {

using namespace zelhart::setupapi;

namespace {

constexpr char kInfSubdirectory[] = "/inf"; // the Windows directory's "\INF"
constexpr char kOemInfPattern[] = "/OEM*.INF";

class ScopedFind {
  public:
    explicit ScopedFind(HANDLE find) : find_(find) {}
    ~ScopedFind() {
        if (find_ != INVALID_HANDLE_VALUE) FindClose(find_);
    }
    ScopedFind(const ScopedFind&) = delete;
    ScopedFind& operator=(const ScopedFind&) = delete;

  private:
    HANDLE find_;
};

} // namespace

bool Utilities::GetOemInfFilePathNamesList(std::vector<std::string>* list) {
    char windowsDir[MAX_PATH] = {};
    UINT length = GetWindowsDirectoryW(windowsDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        LogWrite(LOG_FAILURE, "Utilities::GetOemInfFilePathNamesList GetWindowsDirectory failed %d\n",
                 length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::string infDir = std::string(windowsDir) + kInfSubdirectory;
    std::string pattern = infDir + kOemInfPattern;
    WIN32_FIND_DATAW found;
    HANDLE find = pattern.size() < MAX_PATH ? FindFirstFileW(pattern.c_str(), &found) : INVALID_HANDLE_VALUE;
    if (find == INVALID_HANDLE_VALUE) {
        LogWrite(LOG_WALK, "Utilities::GetOemInfFilePathNamesList FindFirstFile failed %d\n",
                 pattern.size() < MAX_PATH ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    ScopedFind close(find);
    do {
        list->push_back(infDir + "/" + found.cFileName);
    } while (FindNextFileW(find, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        LogWrite(LOG_FAILURE, "Utilities::GetOemInfFilePathNamesList GetFindNextFile failed %d\n", GetLastError());
        return false;
    }
    return true;
}

void SetupApi::OemInfFilesDelete(const std::string& infName) {
    LogWrite(LOG_OEM_ENTRY, "SetupApi::OemInfFilesDelete\n");
    std::vector<std::string> paths;
    Utilities::GetOemInfFilePathNamesList(&paths);
    for (const std::string& path : paths) {
        LogWrite(LOG_NODE_STATUS, "SetupApi::OemInfFilesDelete enumerating %s \n", path);
        DeleteOemInfFile(path, infName);
    }
}

void SetupApi::DeleteOemInfFile(const std::string& oemInfPath, const std::string& infName) {
    SP_INF_INFORMATION info;
    if (!SetupGetInfInformationW(oemInfPath.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, &info, sizeof(info), nullptr)) {
        LogWrite(LOG_FAILURE, "SetupApi::DeleteOemInfFile SetupGetInfInformationW error: %d\n", GetLastError());
        return;
    }
    SP_ORIGINAL_FILE_INFO_W original;
    if (!SetupQueryInfOriginalFileInformationW(&info, 0, nullptr, &original)) {
        LogWrite(LOG_FAILURE, "SetupApi::DeleteOemInfFile SetupQueryInfOriginalFileInformation error: %d\n",
                 GetLastError());
        return;
    }
    if (::strncasecmp(original.OriginalInfName, infName.c_str(), infName.size()) != 0) return;
    if (!DeleteFileW(oemInfPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        LogWrite(LOG_FAILURE, "SetupApi::DeleteOemInfFile DeleteFile INF error: %d\n", GetLastError());
    // oem12.inf -> oem12.Pnf, the compiled INF beside it.
    std::string pnf = oemInfPath;
    pnf[pnf.size() - 3] = 'P';
    if (!DeleteFileW(pnf.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        LogWrite(LOG_FAILURE, "SetupApi::DeleteOemInfFile DeleteFile PNF error: %d\n", GetLastError());
}

} // namespace zelhart::setup
