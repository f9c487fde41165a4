// The installer's whole sequence in a staging root, as the daemon will see it in between.
#include "setup_fixture.h"

#include "zelhart/devdb/daemon_nodes.h"

#include <filesystem>
#include <sys/stat.h>

namespace zelhart::setup::testing {
namespace {

using devdb::DeviceDatabaseState;
using devdb::ListDeviceNodesBoundToService;

using InstallSequenceTest = SetupTest;

TEST_F(InstallSequenceTest, InstallCreateListRemoveUninstall) {
    EXPECT_EQ(ListDeviceNodesBoundToService().state, DeviceDatabaseState::Absent);

    ASSERT_EQ(HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF).exit, 0) << Log();
    ASSERT_EQ(HelperLogged(std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver").exit, 0) << Log();

    // What the daemon reads: one node, bound to its service, running.
    auto bound = ListDeviceNodesBoundToService("ZelHartDriver");
    ASSERT_EQ(bound.state, DeviceDatabaseState::Loaded) << bound.reason;
    ASSERT_EQ(bound.nodes.size(), 1u);
    EXPECT_EQ(bound.nodes[0].instanceId, "ROOT\\ZELHARTDRIVER\\0000");
    EXPECT_EQ(bound.nodes[0].hardwareIds, std::vector<std::string>{"ROOT\\ZelHartDriver"});
    EXPECT_FALSE(bound.nodes[0].needsRestart);
    DeviceNode node = Database().nodes.at(0);
    EXPECT_EQ(node.className, "ZelHartDriver");
    EXPECT_EQ(node.manufacturer, "ZelHart");
    EXPECT_TRUE(node.status & devdb::DN_STARTED);

    ASSERT_EQ(HelperLogged(std::string("-DeviceNodesRemoveAll,") + kProductClassGuid + ",ROOT\\ZelHartDriver,ZelHart")
                  .exit,
              0);
    ASSERT_EQ(HelperLogged("-DriverPackageUninstall,ZelHartDriver.inf").exit, 0);

    bound = ListDeviceNodesBoundToService();
    EXPECT_EQ(bound.state, DeviceDatabaseState::Loaded);
    EXPECT_TRUE(bound.nodes.empty());
    EXPECT_TRUE(Database().nodes.empty());
    EXPECT_TRUE(OemFiles().empty()) << "an oem*.inf of ours was left";
    EXPECT_TRUE(std::filesystem::is_empty(Root() + "/var/lib/zelhart/driverstore"));
    for (const char* failure : {"failed!", "returned 0x", "Errorcode"})
        EXPECT_EQ(Log().find(failure), std::string::npos) << Log();
}

// Under a restrictive umask the helper still leaves the database and its directory readable to the
// daemon, which runs as another user.
TEST_F(InstallSequenceTest, RestrictiveUmaskLeavesTheDatabaseReadable) {
    mode_t old = ::umask(027);
    Result r = HelperLogged(std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver");
    ::umask(old);
    ASSERT_EQ(r.exit, 0) << Log();
    for (const std::string& path : {Root() + "/var", Root() + "/var/lib/zelhart", DatabaseFile()}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0755u : 0644u) << path;
    }
}

// A damaged database is not taken for an absent one: the daemon says why it cannot use it.
TEST_F(InstallSequenceTest, DamagedDatabaseIsReportedToTheDaemon) {
    WriteFile(DatabaseFile(), "zelhart-device-database 1\nnode ROOT\\X\\0\n");
    auto bound = ListDeviceNodesBoundToService();
    EXPECT_EQ(bound.state, DeviceDatabaseState::Refused);
    EXPECT_NE(bound.reason.find("truncated"), std::string::npos) << bound.reason;
}

} // namespace
} // namespace zelhart::setup::testing
