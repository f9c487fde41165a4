#include "setup_main.h"

#include "build_info.h"
#include "difx_api.h"
#include "setup_api.h"
#include "setup_log.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/setupapi/cfgmgr32.h"
#include "zelhart/setupapi/setupapi.h"

#include <cstdio>
#include <ctime>
#include <strings.h>

namespace zelhart::setup {

using namespace zelhart::setupapi;

namespace {

using Fields = std::vector<std::string>;

constexpr DWORD kEchoLevels = 0x10000 | 0x40000 | 0x80000 | 0x100000 | 0x400000;
constexpr DWORD kClassNameChars = 32;

int MainInternalDriverPackageInstall(const std::string& infPath) {
    LogWrite(LOG_ENTRY_EXIT, ">>> MainInternalDriverPackageInstall\n");
    if (DifxApi::DriverPackageInstall(infPath) != 0) return kExitFailure;
    LogWrite(LOG_ENTRY_EXIT, "<<< MainInternalDriverPackageInstall\n");
    return kExitSuccess;
}

int MainInternalDriverPackagePreInstall(const std::string& infPath) {
    LogWrite(LOG_ENTRY_EXIT, ">>> MainInternalDriverPackagePreInstall\n");
    if (DifxApi::DriverPackagePreInstall(infPath) != 0) return kExitFailure;
    LogWrite(LOG_ENTRY_EXIT, "<<< MainInternalDriverPackagePreInstall\n");
    return kExitSuccess;
}

int MainInternalDriverPackageUninstall(const std::string& infName) {
    LogWrite(LOG_ENTRY_EXIT, ">>> MainInternalDriverPackageUninstall\n");
    DifxApi::UninstallPackagesByOemInf(infName);
    SetupApi::OemInfFilesDelete(infName);
    LogWrite(LOG_ENTRY_EXIT, "<<< MainInternalDriverPackageUninstall\n");
    return kExitSuccess;
}

void LogFields(const Fields& f, size_t count) {
    for (size_t i = 1; i <= count; ++i)
        LogWrite(LOG_FAILURE, "Parameter %d: %s\n", i, f[i]);
}

int MainInternalDeviceNodeCreate(const std::string& infPath, const std::string& hardwareId) {
    LogWrite(LOG_ENTRY_EXIT, ">>> MainInternalDeviceNodeCreate\n");
    LogWrite(LOG_FAILURE, "InfFilePath: %ws  strHardwareId: %ws\n", infPath, hardwareId);
    GUID classGuid;
    char className[kClassNameChars] = {};
    if (!SetupDiGetINFClassW(infPath.c_str(), &classGuid, className, kClassNameChars, nullptr)) {
        LogWrite(LOG_FAILURE, "MainInternalDeviceNodeCreate SetupDiGetINFClass failed with dwLastError 0x%x\n",
                 GetLastError());
        return kExitFailure;
    }
    if (!SetupApi::DeviceNodeCreate(hardwareId, className, classGuid)) {
        LogWrite(LOG_FAILURE, "MainInternalDeviceNodeCreate DeviceNodeCreate failed!\n");
        return kExitFailure;
    }
    LogWrite(LOG_ENTRY_EXIT, "<<< MainInternalDeviceNodeCreate\n");
    return kExitSuccess;
}

int MainInternalDeviceNodesRemoveAll(const std::string& classGuid, const std::string& hardwareId,
                                     const std::string& setupName) {
    LogWrite(LOG_ENTRY_EXIT, ">>> MainInternalDeviceNodesRemoveAll\n");
    LogWrite(LOG_FAILURE, "strClassGuid: %ws  strHardwareId: %ws  strSetupName: %ws\n", classGuid, hardwareId, setupName);
    if (!SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent(classGuid, hardwareId))
        LogWrite(LOG_FAILURE, "DeviceInstanceRemoveAllPresentAndNonPresent failed %s \n", classGuid);
    LogWrite(LOG_ENTRY_EXIT, "<<< MainInternalDeviceNodesRemoveAll\n");
    return kExitSuccess;
}

// A hardware ID in double quotes loses them: the text after the first quote, two characters shorter
// than the field (never more than the field holds).
std::string Unquoted(const std::string& field) {
    auto quote = field.find('"');
    if (quote == std::string::npos) return field;
    size_t length = field.size() >= 2 ? field.size() - 2 : 0;
    return field.substr(quote + 1, length);
}

int RunDriverPackageInstall(const Fields& f) {
    int r = MainInternalDriverPackageInstall(f[1]);
    if (r != kExitSuccess) LogWrite(LOG_FAILURE, "MainInternalDriverPackageInstall failed!\n");
    return r;
}

int RunDriverPackagePreInstall(const Fields& f) {
    int r = MainInternalDriverPackagePreInstall(f[1]);
    if (r != kExitSuccess) LogWrite(LOG_FAILURE, "MainInternalDriverPrePackageinstall failed!\n");
    return r;
}

int RunDriverPackageUninstall(const Fields& f) {
    int r = MainInternalDriverPackageUninstall(f[1]);
    if (r != kExitSuccess) LogWrite(LOG_FAILURE, "MainInternalDriverPackageUninstall failed!\n");
    return r;
}

int RunDriverUpdate(const Fields& f) {
    bool accessDenied = false;
    bool ok = SetupApi::DriverUpdate(f[1], f[2], &accessDenied);
    if (accessDenied) {
        LogWrite(LOG_WALK, "SetupApi::DriverUpdate ERROR_ACCESS_DENIED!\n");
        return kExitAccessDenied;
    }
    if (!ok) LogWrite(LOG_FAILURE, "SetupApi::DriverUpdate failed!\n");
    return kExitDriverUpdate;
}

int RunDeviceNodeCreate(const Fields& f) {
    LogFields(f, 2);
    int r = MainInternalDeviceNodeCreate(f[1], f[2]);
    if (r != kExitSuccess) LogWrite(LOG_FAILURE, "MainInternalDeviceNodeCreate failed!\n");
    return r;
}

int RunDeviceNodesRemoveAll(const Fields& f) {
    LogFields(f, 3);
    int r = MainInternalDeviceNodesRemoveAll(f[1], f[2], f[3]);
    if (r != kExitSuccess) LogWrite(LOG_FAILURE, "MainInternalDeviceNodesRemoveAll failed!\n");
    return r;
}

int RunDeviceInstancesUninstall(const Fields& f) {
    if (!SetupApi::DeviceInstancesUninstall(Unquoted(f[1])))
        LogWrite(LOG_FAILURE, "SetupApi::DeviceInstancesUninstall failed!\n");
    LogWrite(LOG_ENTRY_EXIT, "<<< _tWinMain\n");
    return kExitSuccess;
}

// Re-enumerates the device tree from its root; the running driver daemon reads its device nodes again.
int RunReEnumerate(const Fields&) {
    DEVINST root = 0;
    if (CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS) CM_Reenumerate_DevNode(root, 0);
    LogWrite(LOG_ENTRY_EXIT, "<<< _tWinMain\n");
    return kExitSuccess;
}

struct Action {
    const char* name;
    size_t parameters;
    int (*run)(const Fields&);
};

constexpr Action kActions[] = {
    {"-DriverPackageInstall", 1, RunDriverPackageInstall},
    {"-DriverPackagePreInstall", 1, RunDriverPackagePreInstall},
    {"-DriverPackageUninstall", 1, RunDriverPackageUninstall},
    {"-DriverUpdate", 2, RunDriverUpdate},
    {"-DeviceNodeCreate", 2, RunDeviceNodeCreate},
    {"-DeviceNodesRemoveAll", 3, RunDeviceNodesRemoveAll},
    {"-DeviceInstancesUninstall", 1, RunDeviceInstancesUninstall},
    {"-ReEnumerate", 0, RunReEnumerate},
};

const Action* FindAction(const std::string& name) {
    for (const Action& a : kActions)
        if (::strcasecmp(a.name, name.c_str()) == 0) return &a;
    return nullptr;
}

void LogStartLine() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    ::localtime_r(&now, &t);
    LogWrite(LOG_START, "Call: %d/%d/%d %d:%d:%d Build: %S %S\n", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, t.tm_hour,
             t.tm_min, t.tm_sec, BuildDate(), BuildTime());
}

// A command line that cannot be run as given: what is wrong, logged; false.
bool CheckFields(const Fields& f, const Action* action) {
    if (f.size() > kMaxFields) {
        LogWrite(LOG_FAILURE, "_tWinMain Error more than %d parameters!\n", kMaxFields);
        return false;
    }
    for (size_t i = 0; i < f.size(); ++i)
        if (f[i].size() > kMaxFieldLength) {
            LogWrite(LOG_FAILURE, "_tWinMain Error parameter %d is longer than %d characters!\n", i, kMaxFieldLength);
            return false;
        }
    if (action && f.size() < action->parameters + 1) {
        LogWrite(LOG_FAILURE, "_tWinMain Error missing parameter %d for %s!\n", f.size(), action->name);
        return false;
    }
    return true;
}

// A damaged device database is named in the log with the reason, for the administrator who reads the
// log after a failed installation (standard error is often discarded).
void LogRefusedDatabase(const std::string& path, const std::string& reason) {
    LogWrite(LOG_FAILURE, "Device database %s refused: %s (repair: see ZelHartDriverSetupCustomAction(8))\n", path,
             reason);
}

} // namespace

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < commandLine.size()) {
        size_t comma = commandLine.find(',', pos);
        if (comma == std::string_view::npos) comma = commandLine.size();
        if (comma > pos) fields.emplace_back(commandLine.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return fields;
}

std::string RunLogFilePath(const std::vector<std::string>& fields) {
    if (fields.empty() || fields.size() > kMaxFields || fields.back().size() > kMaxFieldLength)
        return kDefaultRunLogFileName;
    const Action* action = FindAction(fields.front());
    size_t last = fields.size() - 1;
    // The switch alone: its text is no log path ("-ReEnumerate" would become a file of that name).
    if (last == 0) return kDefaultRunLogFileName;
    if (action && last <= action->parameters) return kDefaultRunLogFileName;
    return fields.back();
}

bool IsHelpSwitch(const std::string& field) { return field == "--help" || field == "-?" || field == "-h"; }

int SetupMain(std::string_view commandLine) {
    Fields fields = SplitCommandLine(commandLine);
    if (!fields.empty() && IsHelpSwitch(fields.front())) {
        std::fputs(kUsageText, stdout);
        return kExitUsage;
    }
    SetLogFilePath(RunLogFilePath(fields));
    AddLogEchoLevels(kEchoLevels);
    devdb::SetDatabaseRefusalObserver(&LogRefusedDatabase);
    LogWrite(LOG_ENTRY_EXIT, ">>> _tWinMain\n");
    LogStartLine();
    if (fields.empty()) {
        LogWrite(LOG_FAILURE, "_tWinMain: No command line parameter\n");
        return kExitUsage;
    }
    const Action* action = FindAction(fields.front());
    if (!CheckFields(fields, action)) {
        LogWrite(LOG_ENTRY_EXIT, "<<< _tWinMain\n");
        return kExitUsage;
    }
    if (!action) {
        LogWrite(LOG_FAILURE, "_tWinMain Error unrecognized parameter! %s\n", fields.front());
        LogWrite(LOG_ENTRY_EXIT, "<<< _tWinMain\n");
        return kExitUsage;
    }
    return action->run(fields);
}

} // namespace zelhart::setup
