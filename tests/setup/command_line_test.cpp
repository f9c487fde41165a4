// The helper's command line: switches, fields, the log file each run writes, exit codes, the echo to
// standard error, and -ReEnumerate reaching the daemon.
#include "setup_fixture.h"

#include "zelhart/devdb/daemon_nodes.h"
#include "zelhart/sim/child_process.h"

#include <csignal>
#include <filesystem>

namespace zelhart::setup::testing {
namespace {

struct CommandCase {
    const char* name;
    std::vector<DeviceNode> nodes; // the database before the run (none when empty)
    std::string commandLine;       // {INF}: the product's INF, {LOG}: the test's log file
    int exit;
    bool defaultLog;               // the run logs to ZelHartDriverSetupCustomAction.log in its directory
    std::vector<std::string> logLines; // appear in this order
    std::vector<std::string> outputHas;
    std::vector<std::string> outputLacks;
    int nodesAfter = -1;           // -1: not checked
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
        text.replace(p, from.size(), to);
    return text;
}

const DeviceNode kProductNode = [] {
    DeviceNode n = Node("ROOT\\ZELHARTDRIVER\\0000", {"ROOT\\ZelHartDriver"});
    n.classGuid = *platform::ParseGuid(kProductClassGuid);
    n.className = "ZelHartDriver";
    return n;
}();

const CommandCase kCases[] = {
    {"SwitchInAnyCaseWithLogPath", {}, "-driverpackageinstall,{INF},{LOG}", 0, false,
     {">>> _tWinMain\n", "Call: ", " Build: ", ">>> MainInternalDriverPackageInstall\n",
      "DifxApi::DriverPackageInstall InfFilePath: {INF}\n", "<<< MainInternalDriverPackageInstall\n"},
     {"HART_DRIVER_SETUP: Call: ", "HART_DRIVER_SETUP: DifxApi::DriverPackageInstall InfFilePath: "},
     {"HART_DRIVER_SETUP: >>>", "HART_DRIVER_SETUP: <<<"}},
    {"UnknownSwitchChangesNothing", {kProductNode}, "-Frobnicate,{LOG}", 2, false,
     {">>> _tWinMain\n", "_tWinMain Error unrecognized parameter! -Frobnicate\n", "<<< _tWinMain\n"},
     {"HART_DRIVER_SETUP: _tWinMain Error unrecognized parameter! -Frobnicate"}, {}, 1},
    {"EmptyCommandLine", {}, "", 2, true, {">>> _tWinMain\n", "_tWinMain: No command line parameter\n"}, {}, {}},
    {"RunOfCommasIsOneSeparator", {}, ",,-bogus,,,{LOG},", 2, false,
     {"_tWinMain Error unrecognized parameter! -bogus\n"}, {}, {}},
    {"MissingFieldIsAUsageError", {}, "-DeviceNodeCreate,{INF}", 2, true,
     {"_tWinMain Error missing parameter 2 for -DeviceNodeCreate!\n", "<<< _tWinMain\n"}, {}, {}, 0},
    {"OverLongFieldIsAUsageError", {kProductNode}, "-DeviceInstancesUninstall," + std::string(5000, 'A') + ",{LOG}", 2,
     false, {"_tWinMain Error parameter 1 is longer than 4096 characters!\n"}, {}, {}, 1},
    {"OverLongHardwareIdIsRefusedNotCut", {}, "-DeviceNodeCreate,{INF},ROOT\\" + std::string(300, 'A') + ",{LOG}",
     255, false,
     {"SetupApi::DeviceNodeCreate: SetupDiSetDeviceRegistryProperty failed with 0x57.",
      "SetupApi::DeviceNodeCreate failed: <<<<<<<<<.", "MainInternalDeviceNodeCreate DeviceNodeCreate failed!\n",
      "MainInternalDeviceNodeCreate failed!\n"},
     {}, {}, 0},
    {"RemoveAllWithUnparsableGuidExitsZero", {kProductNode},
     "-DeviceNodesRemoveAll,not-a-guid,ROOT\\ZelHartDriver,HART setup,{LOG}", 0, false,
     {"Parameter 1: not-a-guid\n", "Parameter 3: HART setup\n", ">>> MainInternalDeviceNodesRemoveAll\n",
      "strClassGuid: not-a-guid  strHardwareId: ROOT\\ZelHartDriver  strSetupName: HART setup\n",
      "SetupApi::DeviceInstanceRemoveAllPresentAndNonPresent CLSIDFromString failed! not-a-guid\n",
      "DeviceInstanceRemoveAllPresentAndNonPresent failed not-a-guid \n", "<<< MainInternalDeviceNodesRemoveAll\n"},
     {}, {}, 1},
    {"RemoveAllByClassAndHardwareId", {kProductNode, Node("ROOT\\OTHER\\0000", {"ROOT\\Other"})},
     std::string("-DeviceNodesRemoveAll,") + kProductClassGuid + ",root\\zelhartdriver,setup,{LOG}", 0, false,
     {"for-loop i == 0\n", "TRUE == DeviceInfoSet.HardwareIdCompare(root\\zelhartdriver)\n",
      "SetupApiDeviceInfoSet::DeviceRemove Reboot => NOT REQUIRED.\n", "for-loop i == 1\n"},
     {}, {}, 1},
    {"QuotedHardwareIdLosesItsQuotes", {kProductNode}, "-DeviceInstancesUninstall,\"ROOT\\ZelHartDriver\",{LOG}", 0,
     false,
     {">>> SetupApi::DeviceInstancesUninstall\n", "SetupApi::DeviceInstancesUninstall for-loop i: 0\n",
      "comparing hardware IDs (ROOT\\ZelHartDriver == ROOT\\ZelHartDriver)? Equal!\n", "<<< _tWinMain\n"},
     {}, {}, 0},
    {"ParameterAsLastFieldIsNotTheLog", {}, "-DriverPackageUninstall,ZelHartDriver.inf", 0, true,
     {">>> MainInternalDriverPackageUninstall\n", "<<< MainInternalDriverPackageUninstall\n"}, {}, {}},
    {"ReEnumerateWithoutDaemon", {}, "-ReEnumerate,{LOG}", 0, false, {">>> _tWinMain\n", "<<< _tWinMain\n"}, {}, {}},
    // A switch alone is no log path: no file named after it appears (checked below for every case).
    {"SwitchAloneLogsToTheDefault", {}, "-ReEnumerate", 0, true, {">>> _tWinMain\n", "<<< _tWinMain\n"}, {}, {}},
    {"UnknownSwitchAloneLogsToTheDefault", {}, "-bogus", 2, true,
     {"_tWinMain Error unrecognized parameter! -bogus\n"}, {}, {}},
    {"HelpPrintsTheUsage", {}, "--help", 2, true, {}, {"Usage: ZelHartDriverSetupCustomAction", "-ReEnumerate"}, {}},
    {"QuestionMarkPrintsTheUsage", {kProductNode}, "-?", 2, true, {}, {"-DeviceNodeCreate,<INF path>"}, {}, 1},
};


void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandLineTest : public SetupTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLineTest, Runs) {
    const CommandCase& c = GetParam();
    if (!c.nodes.empty()) WriteDatabase(c.nodes);
    auto fill = [&](const std::string& s) { return Replace(Replace(s, "{INF}", PRODUCT_INF), "{LOG}", LogPath()); };
    Result r = Helper(fill(c.commandLine));
    EXPECT_EQ(r.exit, c.exit) << r.output;
    std::string defaultLog = Dir() + "/ZelHartDriverSetupCustomAction.log";
    std::string log = ReadFile(c.defaultLog ? defaultLog : LogPath());
    EXPECT_FALSE(Exists(c.defaultLog ? LogPath() : defaultLog));
    size_t at = 0;
    for (const std::string& line : c.logLines) {
        size_t found = log.find(fill(line), at);
        ASSERT_NE(found, std::string::npos) << "missing, in order: " << fill(line).substr(0, 200) << "\nlog:\n" << log;
        at = found + 1;
    }
    for (const std::string& s : c.outputHas)
        EXPECT_NE(r.output.find(s), std::string::npos) << s << "\noutput:\n" << r.output;
    for (const std::string& s : c.outputLacks)
        EXPECT_EQ(r.output.find(s), std::string::npos) << s << "\noutput:\n" << r.output;
    if (c.nodesAfter >= 0) {
        EXPECT_EQ(Database().nodes.size(), static_cast<size_t>(c.nodesAfter));
    }
    // Only the log files were written in the run's directory.
    for (const auto& e : std::filesystem::directory_iterator(Dir())) {
        std::string name = e.path().filename();
        EXPECT_TRUE(name == "setup.log" || name == "ZelHartDriverSetupCustomAction.log" || name == "root" ||
                    name == "run")
            << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

using ReEnumerateTest = SetupTest;

// -ReEnumerate sends SIGHUP to the daemon named in the pid file, and to nothing else.
TEST_F(ReEnumerateTest, SignalsOnlyTheDaemon) {
    for (const char* name : {"ZelHartDriver", "NotTheDriver"}) {
        SCOPED_TRACE(name);
        std::string program = Dir() + "/" + name;
        std::filesystem::create_symlink("/bin/sleep", program);
        sim::ChildProcess process;
        ASSERT_EQ(process.Start({program, {"30"}, {}, false, -1}), "");
        ASSERT_TRUE(devdb::WriteDaemonPidFile(process.pid()));
        EXPECT_EQ(HelperLogged("-ReEnumerate").exit, 0);
        bool isDaemon = std::string(name) == "ZelHartDriver";
        auto status = process.Wait(std::chrono::milliseconds(isDaemon ? 10000 : 300));
        if (isDaemon) {
            EXPECT_EQ(status, 128 + SIGHUP);
        } else {
            EXPECT_FALSE(status.has_value()) << "an unrelated process was signalled";
        }
        process.Terminate();
    }
}

} // namespace
} // namespace zelhart::setup::testing
