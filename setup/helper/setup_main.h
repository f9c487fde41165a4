// ZelHartDriverSetupCustomAction's start: the comma-separated command line, one action per run, and
// the exit code the installer reads.
//
//   -DriverPackageInstall,<INF path>,<log>                 0; -1 (255) on failure
//   -DriverPackagePreInstall,<INF path>,<log>              0; -1 (255) on failure
//   -DriverPackageUninstall,<INF file name>,<log>          0
//   -DriverUpdate,<hardware ID>,<window class>,<log>       5 rights missing; 1 otherwise (failed or done)
//   -DeviceNodeCreate,<INF path>,<hardware ID>,<log>       0; -1 (255) on failure
//   -DeviceNodesRemoveAll,<class GUID>,<hardware ID>,<setup name>,<log>   0
//   -DeviceInstancesUninstall,<hardware ID or "hardware ID">,<log>        0
//   -ReEnumerate,<log>                                     0
//   --help, -h, -?: the usage text on standard output               2
//   anything else, a missing or over-long field, an empty command line    2
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelhart::setup {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = -1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitAccessDenied = 5;
inline constexpr int kExitDriverUpdate = 1; // failed, and (low byte) done

inline constexpr char kDefaultRunLogFileName[] = "ZelHartDriverSetupCustomAction.log";
inline constexpr size_t kMaxFieldLength = 4096;
inline constexpr size_t kMaxFields = 16;

// What --help, -h and -? print (on standard output; nothing is logged, the exit code is kExitUsage).
inline constexpr char kUsageText[] =
    "Usage: ZelHartDriverSetupCustomAction <switch>,<fields>...[,<log file>]\n"
    "  -DriverPackageInstall,<INF path>[,<log>]\n"
    "  -DriverPackagePreInstall,<INF path>[,<log>]\n"
    "  -DriverPackageUninstall,<INF file name>[,<log>]\n"
    "  -DriverUpdate,<hardware ID>,<window class>[,<log>]\n"
    "  -DeviceNodeCreate,<INF path>,<hardware ID>[,<log>]\n"
    "  -DeviceNodesRemoveAll,<class GUID>,<hardware ID>,<setup name>[,<log>]\n"
    "  -DeviceInstancesUninstall,<hardware ID>[,<log>]\n"
    "  -ReEnumerate[,<log>]\n"
    "Without a log field the run logs to ZelHartDriverSetupCustomAction.log in the current directory.\n"
    "Exit codes: 0 done, 255 failed, 1 or 5 for -DriverUpdate, 2 for a command line that cannot be run.\n"
    "See ZelHartDriverSetupCustomAction(8).\n";

// The fields between commas, left to right; a run of commas is one separator.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The file this run logs to: the last field, unless it is one of the fields the action reads as a
// parameter (then logging into it would write into the caller's INF or ID), the switch itself, too
// long, or missing.
std::string RunLogFilePath(const std::vector<std::string>& fields);

// One run: the whole command line without the program name. The exit code.
int SetupMain(std::string_view commandLine);

} // namespace zelhart::setup
