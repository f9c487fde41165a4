// The daemon as a program: its command line, its start line alone at DebugLevel 0 and what it forgets
// at its start, one daemon per socket, running in the background, and clients that die or talk nonsense.
#include "child_with_pipes.h"
#include "daemon_fixture.h"
#include "zelhart/platform/iomgr_protocol.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace zelhart::testing {
namespace {

using namespace platform::iomgr;
using platform::UniqueFd;

class DaemonProgramTest : public DaemonTest {};

TEST_F(DaemonProgramTest, BadOptionsPrintTheUsageAndExitWithStatusTwo) {
    sim::ChildSpec spec;
    spec.executable = hartdriver::DefaultDaemonExecutable();
    spec.args = {"--no-such-option"};
    auto result = sim::RunToExit(spec, 5000ms);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 2);
    EXPECT_NE(result->second.find("unknown option --no-such-option"), std::string::npos);
    EXPECT_NE(result->second.find("usage: ZelHartDriver"), std::string::npos);

    spec.args = {"--ready-fd", "77"}; // not an open descriptor
    result = sim::RunToExit(spec, 5000ms);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 2);

    spec.args = {"--help"};
    result = sim::RunToExit(spec, 5000ms);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 0);
    EXPECT_NE(result->second.find("--runtime-dir"), std::string::npos);
}

TEST_F(DaemonProgramTest, DebugLevelZeroPrintsOnlyTheStartLineAndOldModemLineRecordsGo) {
    WriteRegistry("\"DebugLevel\"=dword:00000000\n\"QUIETTIME\"=dword:00000002\n");
    StartSim(comA_, {"--silent", "1"});
    // An earlier daemon's record of a port without modem lines: the adapter may have changed since.
    const std::string stale = run_ + "/nolines/COM" + std::to_string(comA_);
    std::filesystem::create_directories(run_ + "/nolines");
    std::filesystem::create_symlink("/dev/ttyUSB9", stale);
    StartDaemon();
    EXPECT_FALSE(std::filesystem::is_symlink(stale));
    {
        auto function = OpenFunctionDevice();
        auto hart = OpenHart(comA_);
        ASSERT_EQ(SetProtocol(*hart, 0, 0x80, 1), STATUS_SUCCESS);
        EXPECT_EQ(Exchange(*hart, ShortRequest(0)).readStatus, STATUS_SUCCESS); // after one retry
        uint8_t ignored = 0;
        EXPECT_EQ(Ioctl(*hart, HartCtlCode(914), &ignored, 1), STATUS_NOT_SUPPORTED); // an error, untraced
    }
    EXPECT_EQ(daemon_.Stop(), 0);
    // The start line alone: the driver's own errors are DebugLevel's.
    const std::string output = daemon_.Output();
    EXPECT_TRUE(output.starts_with("ZelHartDriver: ZelHartDriver ")) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

TEST_F(DaemonProgramTest, ASecondDaemonOnTheSameSocketRefusesToStart) {
    StartDaemon();
    sim::ChildSpec spec;
    spec.executable = hartdriver::DefaultDaemonExecutable();
    spec.args = {"--runtime-dir", run_, "--config-dir", etc_};
    auto result = sim::RunToExit(spec, 5000ms);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 1);
    EXPECT_NE(result->second.find("another daemon serves"), std::string::npos);
    EXPECT_TRUE(OpenFunctionDevice()); // the first one still serves
}

// The pid of the process serving the socket.
pid_t ServerPid() {
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
    ucred cred{};
    socklen_t length = sizeof(cred);
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return -1;
    return cred.pid;
}

TEST_F(DaemonProgramTest, BackgroundDaemonDetachesOnceItServes) {
    sim::ChildSpec spec;
    spec.executable = hartdriver::DefaultDaemonExecutable();
    spec.args = {"--runtime-dir", run_, "--config-dir", etc_, "--background"};
    auto result = sim::RunToExit(spec, 5000ms);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->first, 0); // the parent ends when the daemon is ready
    pid_t pid = ServerPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(OpenFunctionDevice());
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return ServerPid() < 0; })); // it closed its socket and ended
}

class ClientFailureTest : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        StartSim(comA_);
        StartSim(comB_);
        StartDaemon();
        function_ = OpenFunctionDevice();
        hart3_ = OpenHart(comA_);
        ASSERT_TRUE(hart3_);
    }
    void ExpectServing() {
        ExchangeResult r = Exchange(*hart3_, ShortRequest(0));
        EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
        EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
    }
    std::unique_ptr<DeviceFile> function_, hart3_;
};

TEST_F(ClientFailureTest, AClientKilledMidRequestLeavesTheDaemonServingOthers) {
    ChildWithPipes client(
        {DRVFW_TEST_CLIENT, "read", std::string(kHartDeviceLinkTail) + std::to_string(comB_)});
    ASSERT_EQ(client.ReadLine(), "0");
    ASSERT_EQ(client.ReadLine(), "pending");
    client.Kill(); // with its read waiting in the driver

    ExpectServing();
    // Its handle was cleaned up: the device can be opened again.
    std::unique_ptr<DeviceFile> hart4;
    EXPECT_TRUE(WaitUntil([&] { return (hart4 = OpenHart(comB_, nullptr)) != nullptr; }));
    ASSERT_TRUE(hart4);
    EXPECT_EQ(Exchange(*hart4, ShortRequest(0)).readStatus, STATUS_SUCCESS);
}

// Sends one packet on a connection of its own; true when the daemon then hangs up on it.
bool DaemonHangsUpAfter(const std::vector<uint8_t>& packet, bool hello = true) {
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return false;
    uint8_t reply[256];
    if (hello) {
        auto h = Encode(HelloRecord{kProtocolMagic, kProtocolVersion, 0});
        if (::send(sock.get(), h.data(), h.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(h.size()))
            return false;
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0 || ::recv(sock.get(), reply, sizeof reply, 0) <= 0) return false;
    }
    ::send(sock.get(), packet.data(), packet.size(), MSG_NOSIGNAL);
    for (;;) {
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        ssize_t n = ::recv(sock.get(), reply, sizeof reply, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
    }
}

TEST_F(ClientFailureTest, MalformedMessagesEndOnlyTheirOwnConnection) {
    std::vector<uint8_t> shortPacket{0x03, 0x00, 0x00};
    EXPECT_TRUE(DaemonHangsUpAfter(shortPacket));
    EXPECT_TRUE(DaemonHangsUpAfter(shortPacket, false));

    std::vector<uint8_t> oversized(kMaxMessageSize + 100, 0);
    EXPECT_TRUE(DaemonHangsUpAfter(oversized));

    auto wrongType = Encode(CompleteRecord{1, 0, 0, 0}, {}); // only the daemon sends Complete
    EXPECT_TRUE(DaemonHangsUpAfter(wrongType));

    auto read = Encode(ReadRecord{1, 10});
    read[0] += 4; // the header's size disagrees with the packet
    EXPECT_TRUE(DaemonHangsUpAfter(read));

    uint8_t input[4] = {};
    auto ioctl = Encode(DeviceControlRecord{1, IOCTL_HART_GET_READ_MASK, 8, 1, kNoHandle},
                        std::span<const uint8_t>(input, 4)); // says 8 bytes of input, carries 4
    EXPECT_TRUE(DaemonHangsUpAfter(ioctl));

    ExpectServing();
}

} // namespace
} // namespace zelhart::testing
