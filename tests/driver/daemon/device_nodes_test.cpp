// The daemon's function devices and the device database: which devices a database asks for, nodes
// added and removed while the daemon runs (the setup helper's -ReEnumerate), and a damaged database.
#include "daemon_fixture.h"
#include "device_nodes.h"
#include "zelhart/platform/guid.h"
#include "zelhart/devdb/device_db.h"

#include <csignal>

namespace zelhart::testing {
namespace {

using hartdriver::FunctionDevicePlan;
using hartdriver::PlanFunctionDevices;
using devdb::BoundDeviceNodes;
using devdb::DeviceDatabaseState;

struct PlanCase {
    const char* name;
    std::vector<std::string> served;
    DeviceDatabaseState state;
    std::vector<std::string> nodes;
    bool atStart;
    std::vector<std::string> add, remove;
    friend void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }
};

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, AddsAndRemovesToMatchTheDatabase) {
    const PlanCase& c = GetParam();
    BoundDeviceNodes bound;
    bound.state = c.state;
    for (const auto& id : c.nodes)
        bound.nodes.push_back({id, {"ROOT\\ZelHartDriver"}, false});
    FunctionDevicePlan plan = PlanFunctionDevices(c.served, bound, c.atStart);
    EXPECT_EQ(plan.add, c.add);
    EXPECT_EQ(plan.remove, c.remove);
    EXPECT_EQ(plan.databaseRefused, c.state == DeviceDatabaseState::Refused);
}

const char kOwn[] = "ROOT\\ZELHARTDRIVER\\0000";
const char kSecond[] = "ROOT\\ZELHARTDRIVER\\0001";

INSTANTIATE_TEST_SUITE_P(
    Daemon, PlanTest,
    ::testing::Values(
        PlanCase{"NoDatabaseAtStartServesTheOwnNode", {}, DeviceDatabaseState::Absent, {}, true, {kOwn}, {}},
        PlanCase{"NoDatabaseLaterKeepsOnlyTheOwnNode", {kOwn, kSecond}, DeviceDatabaseState::Absent, {}, false,
                 {}, {kSecond}},
        PlanCase{"DamagedAtStartServesTheOwnNode", {}, DeviceDatabaseState::Refused, {}, true, {kOwn}, {}},
        PlanCase{"DamagedLaterChangesNothing", {kSecond}, DeviceDatabaseState::Refused, {}, false, {}, {}},
        PlanCase{"OneDevicePerBoundNodeInDatabaseOrder", {}, DeviceDatabaseState::Loaded, {kSecond, kOwn}, true,
                 {kSecond, kOwn}, {}},
        PlanCase{"NoBoundNodeServesNothing", {kOwn}, DeviceDatabaseState::Loaded, {}, false, {}, {kOwn}},
        PlanCase{"NewNodesAddedGoneNodesRemoved", {kOwn, kSecond}, DeviceDatabaseState::Loaded,
                 {kOwn, "ROOT\\ZELHARTDRIVER\\0002"}, false, {"ROOT\\ZELHARTDRIVER\\0002"}, {kSecond}},
        PlanCase{"LetterCaseAndRepeatsDoNotCount", {"root\\zelhartdriver\\0000"}, DeviceDatabaseState::Loaded,
                 {kOwn, kSecond, "Root\\ZelHartDriver\\0001"}, false, {kSecond}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The daemon on a system root of its own, with the setup helper run as the installer runs it.
class DeviceNodeDaemonTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ::setenv("ZELHART_SYSROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        DaemonTest::TearDown();
        ::unsetenv("ZELHART_SYSROOT");
    }

    void StartDaemonOnRoot() {
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run_;
        launch.configDir = etc_;
        launch.sysRoot = root_;
        ASSERT_EQ(daemon_.Start(launch), "");
    }

    // The helper's exit status; its output is kept for failure messages.
    int Helper(const std::string& commandLine) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("ZelHartDriverSetupCustomAction");
        spec.args = {commandLine + "," + std::string(dir_ / "setup.log")};
        spec.env = {{"ZELHART_SYSROOT", root_}, {"ZELHART_RUNTIME_DIR", run_}};
        spec.captureOutput = true;
        auto result = sim::RunToExit(spec, 10000ms);
        helperOutput_ = result ? result->second : "did not end";
        return result ? result->first : -1;
    }
    void CreateNode() {
        ASSERT_EQ(Helper(std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver"), 0) << helperOutput_;
    }

    // The path of the index-th function device interface, or "" when there is none.
    static std::string Interface(uint32_t index) {
        std::string path;
        auto guid = platform::ParseGuid(kHartFunctionDeviceInterface);
        return platform::iomgr::LookupDeviceInterface(*guid, index, &path) == platform::ERROR_SUCCESS ? path : "";
    }

    std::string root_ = dir_ / "root";
    std::string helperOutput_;
};

TEST_F(DeviceNodeDaemonTest, NodesAddedAndRemovedWhileServingFollowReEnumeration) {
    StartSim(comA_);
    ASSERT_EQ(Helper(std::string("-DriverPackageInstall,") + PRODUCT_INF), 0) << helperOutput_;
    CreateNode();
    StartDaemonOnRoot();
    EXPECT_NE(Interface(0).find("ROOT#ZELHARTDRIVER#0000#"), std::string::npos) << Interface(0);
    EXPECT_EQ(Interface(1), "");

    // A program holds the first function device and a HART device while the nodes change.
    auto function = OpenFunctionDevice();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(function && hart);

    CreateNode();
    ASSERT_EQ(Helper("-ReEnumerate"), 0) << helperOutput_;
    ASSERT_TRUE(WaitUntil([&] { return !Interface(1).empty(); })) << daemon_.Output();
    EXPECT_NE(Interface(1).find("ROOT#ZELHARTDRIVER#0001#"), std::string::npos) << Interface(1);
    std::unique_ptr<DeviceFile> second;
    ASSERT_EQ(DeviceFile::Open(Interface(1), platform::iomgr::GENERIC_READ, 0, platform::iomgr::FILE_FLAG_OVERLAPPED,
                               &second),
              platform::ERROR_SUCCESS);
    second->Close();

    // The second node goes; the HART device reached through the first stays with its program.
    {
        devdb::DeviceDatabaseTransaction t;
        ASSERT_EQ(t.Begin(), 0u);
        std::erase_if(t.db().nodes, [](const auto& n) { return n.instanceId == kSecond; });
        ASSERT_EQ(t.Commit(), 0u);
    }
    ASSERT_EQ(Helper("-ReEnumerate"), 0) << helperOutput_;
    ASSERT_TRUE(WaitUntil([&] { return Interface(1).empty(); })) << daemon_.Output();
    EXPECT_NE(Interface(0).find("ROOT#ZELHARTDRIVER#0000#"), std::string::npos);
    ExchangeResult r = Exchange(*hart, ShortRequest(0));
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS) << daemon_.Output();

    // Every node goes while the program still holds its handles: they fail, the daemon serves on.
    ASSERT_EQ(Helper(std::string("-DeviceNodesRemoveAll,{A03641F9-2C4F-43C0-AB95-8EB734EA7071},ROOT\\ZelHartDriver,ZelHart")),
              0)
        << helperOutput_;
    ASSERT_EQ(Helper("-ReEnumerate"), 0) << helperOutput_;
    ASSERT_TRUE(WaitUntil([&] { return Interface(0).empty(); })) << daemon_.Output();
    r = Exchange(*hart, ShortRequest(0), 1000);
    EXPECT_FALSE(NT_SUCCESS(r.writeStatus));
    hart.reset();
    function.reset();
    EXPECT_NE(daemon_.Output().find("device node ROOT\\ZELHARTDRIVER\\0000 is gone"), std::string::npos)
        << daemon_.Output();

    // A node created again is served again.
    CreateNode();
    ASSERT_EQ(Helper("-ReEnumerate"), 0) << helperOutput_;
    ASSERT_TRUE(WaitUntil([&] { return !Interface(0).empty(); })) << daemon_.Output();
    function = OpenFunctionDevice();
    hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    EXPECT_EQ(Exchange(*hart, ShortRequest(0)).readStatus, STATUS_SUCCESS);
}

TEST_F(DeviceNodeDaemonTest, PidFileNamesTheDaemonWhileItRuns) {
    StartDaemonOnRoot();
    std::ifstream pidFile(run_ + "/ZelHartDriver.pid");
    pid_t pid = 0;
    pidFile >> pid;
    EXPECT_EQ(pid, daemon_.process().pid());
    EXPECT_EQ(daemon_.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(run_ + "/ZelHartDriver.pid"));
}

// A damaged database is said clearly; the daemon serves its own node and keeps serving it on SIGHUP.
TEST_F(DeviceNodeDaemonTest, DamagedDatabaseIsReportedAndTheOwnNodeServed) {
    const std::string valid = "zelhart-device-database 1\n";
    for (const std::string& damage : {std::string("\x7f" "ELF\x02\x01\x01\0\0garbage\xff\xfe", 18),
                                      valid + "node ROOT\\ZELHARTDRIVER\\0000\nparent HTREE\\ROOT\\0\npres",
                                      std::string()}) {
        SCOPED_TRACE(damage.size());
        std::filesystem::create_directories(root_ + "/var/lib/zelhart");
        std::ofstream(root_ + "/var/lib/zelhart/devices.db", std::ios::binary) << damage;
        StartDaemonOnRoot();
        EXPECT_NE(Interface(0).find("ROOT#ZELHARTDRIVER#0000#"), std::string::npos);
        ASSERT_TRUE(daemon_.Signal(SIGHUP));
        ASSERT_TRUE(WaitUntil([&] { return daemon_.Output().find("stay as they are") != std::string::npos; }))
            << daemon_.Output();
        EXPECT_NE(Interface(0), "");
        std::string output = daemon_.Output();
        EXPECT_NE(output.find("ZelHartDriver: the device database " + root_ + "/var/lib/zelhart/devices.db cannot be used ("),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("serving the driver's own device node"), std::string::npos) << output;
        EXPECT_EQ(daemon_.Stop(), 0) << output;
    }
}

} // namespace
} // namespace zelhart::testing
