// Handles, ports and power: exclusive HART devices, reopening, the function device's handle count,
// a port held by another program, port removal and re-arrival, suspend and resume by signal.
#include "child_with_pipes.h"
#include "daemon_fixture.h"
#include "zelhart/platform/serial_port.h"

#include <csignal>
#include <cstdio>

namespace zelhart::testing {
namespace {

class LifecycleTest : public DaemonTest {
  protected:
    void Start(std::vector<std::string> simOptions = {}) {
        StartSim(comA_, std::move(simOptions));
        StartDaemon();
        function_ = OpenFunctionDevice();
        ASSERT_TRUE(function_);
    }
    std::unique_ptr<DeviceFile> function_;
};

// drvfw_test_client in a process of its own: "open NAME" holds the handle while its input is open.
class ClientProcess : public ChildWithPipes {
  public:
    ClientProcess(const std::string& mode, const std::string& name)
        : ChildWithPipes({DRVFW_TEST_CLIENT, mode, name}) {}
};

TEST_F(LifecycleTest, SecondOpenFromAnotherProcessIsRefusedWhileTheFirstKeepsWorking) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    std::string name = std::string(kHartDeviceLinkTail) + std::to_string(comA_);
    ClientProcess other("open", name);
    EXPECT_EQ(other.ReadLine(), std::to_string(platform::ERROR_ACCESS_DENIED));

    ExchangeResult r = Exchange(*hart, ShortRequest(0));
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, CloseAndReopenKeepsTheProtocolSettingsAndServesAgain) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_EQ(SetProtocol(*hart, 0, 0x00, 4), STATUS_SUCCESS);
    ASSERT_EQ(hart->Close(), platform::ERROR_SUCCESS);
    hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    EXPECT_EQ(GetProtocol(*hart), (HartProtocolInfo{0, 0x00, 4}));
    // A secondary master's request is answered with the master bit clear.
    ExchangeResult r = Exchange(*hart, ShortRequest(0, 0x00));
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
    ASSERT_GE(r.reply.size(), 2u);
    EXPECT_EQ(r.reply[1], 0x00);
}

TEST_F(LifecycleTest, LastCloseOfTheFunctionDeviceDeletesTheHartDevices) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    hart.reset();
    function_.reset();
    uint32_t error = 0;
    EXPECT_TRUE(
        WaitUntil([&] { return !OpenHart(comA_, &error) && error == platform::ERROR_FILE_NOT_FOUND; }));
    function_ = OpenFunctionDevice();
    EXPECT_TRUE(OpenHart(comA_));
}

TEST_F(LifecycleTest, PortHeldByAnotherProgramFailsTheOpenUntilReleased) {
    Start();
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(sims_[comA_]->portPath()), 0);
    uint32_t error = 0;
    EXPECT_FALSE(OpenHart(comA_, &error));
    EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
    holder.Close();
    auto hart = OpenHart(comA_); // the failed open left the device closed
    ASSERT_TRUE(hart);
    EXPECT_EQ(Exchange(*hart, ShortRequest(0)).readStatus, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, PortRemovalCancelsRequestsSignalsTheSubscriberAndDeletesTheDevice) {
    Start({"--silent", "100"}); // the write waits for a reply that does not come
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    Event removed;
    uint32_t handle = static_cast<uint32_t>(removed.fd());
    ASSERT_EQ(
        Ioctl(*hart, IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, &handle, 4, nullptr, 0, nullptr, &removed),
        STATUS_SUCCESS);
    PendingIo read(300), write;
    StartRead(*hart, read);
    StartWrite(*hart, write, ShortRequest(0));
    ASSERT_TRUE(WaitUntil([&] { return CountHeard(comA_) >= 1; })); // the write is on its way

    sims_[comA_]->process().Terminate(std::chrono::milliseconds(0)); // gone without warning
    ASSERT_TRUE(read.Wait());
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_EQ(platform::iomgr::WaitForSingleEvent(removed, kWaitMs), platform::iomgr::WAIT_OBJECT_0);

    // The device is deleted: the old handle fails, a new open finds nothing.
    uint32_t error = 0;
    EXPECT_TRUE(
        WaitUntil([&] { return !OpenHart(comA_, &error) && error == platform::ERROR_FILE_NOT_FOUND; }));
    PendingIo late(10);
    StartRead(*hart, late);
    ASSERT_TRUE(late.Wait());
    EXPECT_FALSE(NT_SUCCESS(late.Status()));
    hart.reset();

    // The port comes back; the library's IOCTL_HART_MODEM_INIT recreates the HART device.
    auto& sim = StartSim(comA_);
    HartModemInitInfo info = ModemInitInfo(sim.portPath(), "COM" + std::to_string(comA_));
    ASSERT_EQ(Ioctl(*function_, IOCTL_HART_MODEM_INIT, &info, sizeof(info)), STATUS_SUCCESS);
    hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    ExchangeResult r = Exchange(*hart, ShortRequest(0));
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, TwoPortsRemovedTogetherAreBothDeleted) {
    StartSim(comA_);
    StartSim(comB_);
    StartDaemon();
    function_ = OpenFunctionDevice();
    auto hart3 = OpenHart(comA_), hart4 = OpenHart(comB_);
    ASSERT_TRUE(hart3 && hart4);
    sims_[comA_]->process().Terminate(std::chrono::milliseconds(0));
    sims_[comB_]->process().Terminate(std::chrono::milliseconds(0));
    uint32_t error = 0;
    EXPECT_TRUE(
        WaitUntil([&] { return !OpenHart(comA_, &error) && error == platform::ERROR_FILE_NOT_FOUND; }));
    EXPECT_TRUE(
        WaitUntil([&] { return !OpenHart(comB_, &error) && error == platform::ERROR_FILE_NOT_FOUND; }));
}

// True once the daemon has taken the suspend: the HART device's control queue no longer accepts.
bool Suspended(DeviceFile& hart) {
    uint8_t in = 0, mask = 0;
    return Ioctl(hart, IOCTL_HART_GET_READ_MASK, &in, 1, &mask, 1) == STATUS_INVALID_DEVICE_STATE;
}

TEST_F(LifecycleTest, SuspendAndResumeBySignalReopensThePortAndSendsThePendingFrame) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    ASSERT_EQ(Exchange(*hart, ShortRequest(0)).readStatus, STATUS_SUCCESS);

    ASSERT_TRUE(daemon_.Signal(SIGUSR1));
    ASSERT_TRUE(WaitUntil([&] { return Suspended(*hart); }));
    PendingIo read(300), write;
    StartRead(*hart, read);
    StartWrite(*hart, write, ShortRequest(0));
    EXPECT_FALSE(write.Wait(300)); // nothing is sent while suspended
    EXPECT_EQ(CountHeard(comA_), 1);

    auto resumed = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon_.Signal(SIGUSR2));
    ASSERT_TRUE(write.Wait());
    auto took = std::chrono::steady_clock::now() - resumed;
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_GE(took, 1900ms); // the restart countdown: 200 ticks
    EXPECT_LT(took, 3500ms);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(CountHeard(comA_), 2);
    // Control requests are served again.
    EXPECT_EQ(GetProtocol(*hart).MasterType, 0x80);
}

TEST_F(LifecycleTest, SigtermClosesEveryPort) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    EXPECT_EQ(daemon_.Stop(), 0);
    // The port is free again for anybody.
    platform::ExclusiveSerialPort port;
    EXPECT_EQ(port.Open(sims_[comA_]->portPath()), 0);
}

} // namespace
} // namespace zelhart::testing
