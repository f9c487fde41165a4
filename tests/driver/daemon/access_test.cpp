// The installed system as an administrator meets it: who may use the daemon, the ports directory a
// group member's simulator registers in, and what the daemon says at DebugLevel 0 and on a reload.
#include "daemon_fixture.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/socket_access.h"

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelhart::testing {
namespace {

using namespace platform::iomgr;

// A group the system has, which neither root's test nor user 65534 is a member of: the daemon's
// group in these tests (a test cannot make a group of its own).
std::optional<std::pair<std::string, gid_t>> SomeSystemGroup() {
    for (const char* name : {"daemon", "bin", "sys", "adm"})
        if (auto gid = platform::LookupGroup(name); gid && *gid != 0 && *gid != 65534) return std::pair{std::string(name), *gid};
    return std::nullopt;
}

class AccessTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        group_ = SomeSystemGroup();
        if (::geteuid() != 0 || !group_) GTEST_SKIP() << "needs root and a system group";
    }
    // What LookupDeviceInterface gives in a child that has become user and group 65534 (no
    // supplementary groups); -1 when the child could not be run.
    int LookupAsNobody() {
        pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
            std::string path;
            uint32_t e = LookupDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface), 0, &path);
            ::_exit(e == platform::ERROR_PRIVILEGE_NOT_HELD ? 1 : e == platform::ERROR_SUCCESS ? 0 : 2);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
    std::optional<std::pair<std::string, gid_t>> group_;
};

TEST_F(AccessTest, SocketAndPortsBelongToTheGroupAndOutsidersAreToldSo) {
    for (const std::string& dir : {std::string(dir_.path()), run_}) ::chmod(dir.c_str(), 0755);
    StartDaemon({"--group", group_->first});
    struct stat st {};
    ASSERT_EQ(::stat(SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, group_->second);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    ASSERT_EQ(::stat((run_ + "/ports").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, group_->second);
    EXPECT_EQ(st.st_mode & 07777, 01775u);
    EXPECT_NE(daemon_.Output().find("(group " + group_->first + ", mode 0660)"), std::string::npos) << daemon_.Output();

    // The mode widened by hand opens the socket, not the daemon: the outsider is answered with a refusal.
    ASSERT_EQ(::chmod(SocketPath().c_str(), 0666), 0);
    EXPECT_EQ(LookupAsNobody(), 1);
    EXPECT_TRUE(WaitUntil([&] { return daemon_.Output().find("uid 65534 refused: not in group " + group_->first) != std::string::npos; }))
        << daemon_.Output();
    EXPECT_TRUE(OpenFunctionDevice()); // root always may
}

TEST_F(AccessTest, WithoutTheGroupOnlyTheDaemonsUserMayConnect) {
    for (const std::string& dir : {std::string(dir_.path()), run_}) ::chmod(dir.c_str(), 0755);
    StartDaemon({"--group", "no-such-group-here"});
    struct stat st {};
    ASSERT_EQ(::stat(SocketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::chmod(SocketPath().c_str(), 0666), 0);
    EXPECT_EQ(LookupAsNobody(), 1);
    EXPECT_TRUE(WaitUntil([&] { return daemon_.Output().find("uid 65534 refused: not the daemon's user") != std::string::npos; }))
        << daemon_.Output();
    EXPECT_TRUE(OpenFunctionDevice());
}

// A simulator run by a member of the group gives its terminal device to the group of the ports
// directory, so that the daemon's own user can open it.
TEST_F(AccessTest, SimulatorSharesItsTerminalWithThePortsGroup) {
    const std::string ports = run_ + "/ports";
    std::filesystem::create_directories(ports);
    ASSERT_TRUE(platform::GiveToGroup(ports, group_->second, 01775).empty());
    auto& sim = StartSim(comC_);
    auto path = platform::LookupComPort(comC_);
    ASSERT_TRUE(path);
    struct stat st {};
    ASSERT_EQ(::stat(path->c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, group_->second);
    EXPECT_EQ(st.st_mode & 0060, 0060u);
    (void)sim;
}

// At DebugLevel 0: the start line and nothing else; a reload says what it changed.
TEST_F(DaemonTest, StartLineAndReloadReachStandardErrorAtDebugLevelZero) {
    WriteRegistry("\"DebugLevel\"=dword:00000000\n\"QUIETTIME\"=dword:00000002\n");
    StartSim(comA_);
    StartDaemon({"--group", "no-such-group-here"});
    std::string output = daemon_.Output();
    EXPECT_NE(output.find("ZelHartDriver: ZelHartDriver "), std::string::npos) << output;
    for (const std::string& part : {"started: runtime directory " + run_, "socket " + SocketPath(),
                                    std::string("no group no-such-group-here on this system, mode 0600"),
                                    std::string("ports: "), "COM" + std::to_string(comA_) + " /dev/pts/"})
        EXPECT_NE(output.find(part), std::string::npos) << part << " in\n" << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;

    WriteRegistry("\"DebugLevel\"=dword:00000001\n\"QUIETTIME\"=dword:00000002\n\"GAP\"=dword:00000005\n");
    ASSERT_TRUE(daemon_.Signal(SIGHUP));
    ASSERT_TRUE(WaitUntil([&] { return daemon_.Output().find("reload: ") != std::string::npos; })) << daemon_.Output();
    output = daemon_.Output();
    EXPECT_NE(output.find("reload: DebugLevel 0x0 -> 0x1 in effect; GAP (absent) -> 5 read, in effect after a restart"),
              std::string::npos)
        << output;
}

} // namespace
} // namespace zelhart::testing
