// The serial port under a HART device, with the test at the far end of the line: the settings of
// every open, the baud-rate control code, frames on the wire as written, replies cut by silence, and
// the trace of what happens.
#include "fake_port.h"
#include "inprocess_fixture.h"

namespace zelhart::testing {
namespace {

class PortTest : public InProcessDriverTest {
  protected:
    void Start(const std::string& registry = "\"QUIETTIME\"=dword:00000001\n") {
        WriteRegistry(registry);
        port_ = std::make_unique<FakePort>(run_, comA_);
        StartDriver();
        function_ = OpenFunctionDevice();
    }
    hartdriver::HARTDEVICE_CONTEXT* Context() {
        auto devices = HartDevicesOn({port_->path()});
        return devices.empty() ? nullptr : hartdriver::HartDeviceGetContext(devices[0]);
    }
    std::unique_ptr<FakePort> port_;
    std::unique_ptr<DeviceFile> function_;
};

TEST_F(PortTest, EveryOpenSets1200BaudEightDataBitsOddParityOneStopBit) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    // (A pseudo-terminal keeps no parity setting, so odd parity cannot be seen here.)
    termios t = port_->Settings();
    EXPECT_EQ(::cfgetospeed(&t), B1200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CLOCAL);

    uint32_t rate = 9600;
    ASSERT_EQ(Ioctl(*hart, IOCTL_HART_SET_BAUD_RATE, &rate, 4), STATUS_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] {
        termios now = port_->Settings();
        return ::cfgetospeed(&now) == B9600;
    }));

    // The rate is not remembered: the next open sets 1200 again.
    hart.reset();
    hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    t = port_->Settings();
    EXPECT_EQ(::cfgetospeed(&t), B1200);
}

TEST_F(PortTest, FramesGoOnTheWireAsWrittenAndTheReplyComesBackWithoutPreambles) {
    Start();
    auto hart = OpenHart(comA_);
    PendingIo read(300), write;
    StartRead(*hart, read);
    Bytes request = ShortRequest(0);
    StartWrite(*hart, write, request);
    EXPECT_EQ(port_->Receive(request.size()), request);
    Turnaround();
    port_->Send(WithPreambles(IdentityReply(), 3));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), request.size());
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Data(), IdentityReply());
}

TEST_F(PortTest, ShortPausesInAReplyAreBridgedAndALongOneAbandonsTheFrame) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_EQ(SetProtocol(*hart, 0, 0x80, 0), STATUS_SUCCESS);
    Bytes reply = WithPreambles(IdentityReply());
    Bytes head(reply.begin(), reply.begin() + 10), tail(reply.begin() + 10, reply.end());
    {
        PendingIo read(300), write;
        StartRead(*hart, read);
        StartWrite(*hart, write, ShortRequest(0));
        port_->Receive(10);
        Turnaround();
        port_->Send(head);
        std::this_thread::sleep_for(10ms); // about one character time: within GAP
        port_->Send(tail);
        ASSERT_TRUE(read.Wait());
        EXPECT_EQ(read.Data(), IdentityReply());
        ASSERT_TRUE(write.Wait());
    }
    {
        PendingIo read(300), write;
        StartRead(*hart, read);
        StartWrite(*hart, write, ShortRequest(0));
        port_->Receive(10);
        Turnaround();
        const auto cut = std::chrono::steady_clock::now();
        port_->Send(head);
        std::this_thread::sleep_for(150ms); // far beyond GAP (3 ticks): the frame is abandoned,
        port_->Send(reply);                 // and the whole frame that follows is the one read
        ASSERT_TRUE(read.Wait());
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Data(), IdentityReply());
        // The reply cut short used up the attempt (no retries here) at once, not after the 10 s
        // frame reception limit its delimiter had started.
        ASSERT_TRUE(write.Wait());
        EXPECT_EQ(write.Status(), STATUS_TRANSACTION_TIMED_OUT);
        EXPECT_LT(std::chrono::steady_clock::now() - cut, 5s);
    }
}

TEST_F(PortTest, SetBaudRateWithThePortNotStartedIsNotReady) {
    Start();
    auto hart = OpenHart(comA_);
    auto* ctx = Context();
    ASSERT_TRUE(ctx);
    drvfw::WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        target = ctx->IoTarget;
    }
    target->Stop(drvfw::IoTargetSentIoAction::LeaveSentIoPending);
    uint32_t rate = 2400;
    EXPECT_EQ(Ioctl(*hart, IOCTL_HART_SET_BAUD_RATE, &rate, 4), STATUS_DEVICE_NOT_READY);
    target->Start();
    EXPECT_EQ(Ioctl(*hart, IOCTL_HART_SET_BAUD_RATE, &rate, 4), STATUS_SUCCESS);
}

TEST_F(PortTest, CategoriesSelectTheTraceAndTheTimeStampPrefixesItsLines) {
    Start("\"QUIETTIME\"=dword:00000001\n\"DebugLevel\"=dword:00000085\n");
    auto hart = OpenHart(comA_);
    ASSERT_EQ(SetProtocol(*hart, 0, 0x80, 2), STATUS_SUCCESS);
    EXPECT_TRUE(WaitUntil([&] { return Trace().find("EVT_Q_TIMEOUT") != std::string::npos; }));
    std::string trace = Trace();
    EXPECT_NE(trace.find("HartDriver: IOCTL_HART_SET_PROTOCOL 0x9C400E44\n"), std::string::npos);
    // 0x81 lines carry the time stamp in place of the plain prefix.
    size_t at = trace.find("]-EVT_Q_TIMEOUT\n");
    ASSERT_NE(at, std::string::npos);
    size_t start = trace.rfind("HartDriver: [", at);
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(trace.find('\n', start), at + std::string("]-EVT_Q_TIMEOUT").size());
    EXPECT_EQ(trace.find("HartDriver: EVT_Q_TIMEOUT"), std::string::npos);
    // Categories that are off: details (0x10) and master states (0x20).
    EXPECT_EQ(trace.find("STATE_BUS_FREE"), std::string::npos);
    EXPECT_EQ(trace.find("pDeviceContext->HartProtocolInfo.MasterType"), std::string::npos);
}

TEST_F(PortTest, HangUpOfAnOpenPortDeletesTheDevice) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    PendingIo read(300);
    StartRead(*hart, read);
    port_->HangUp();
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(WaitUntil([&] { return !Context(); }));
}

// The test's port is moved to another device while its HART device has no handle (a simulator
// started again on another pseudo-terminal): the next open follows the COM name, not the path the
// device was made with, and once the map has lost the COM name the old device is not opened even
// though it is still there (nor a real port the name would fall to, were it a low number).
TEST_F(PortTest, AnOpenFollowsTheComNameToTheDeviceTheMapNamesNow) {
    Start();
    ASSERT_TRUE(OpenHart(comA_)); // made and opened once on the first device
    FakePort replacement(run_, 0);
    const std::string ports = run_ + "/ports";
    ASSERT_EQ(platform::UnregisterComPort(ports, comA_), 0);
    ASSERT_EQ(platform::RegisterComPort(ports, comA_, replacement.path()), 0);

    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    PendingIo read(300), write;
    StartRead(*hart, read);
    Bytes request = ShortRequest(0);
    StartWrite(*hart, write, request);
    EXPECT_EQ(replacement.Receive(request.size()), request);
    EXPECT_TRUE(port_->Receive(1, 100ms).empty());
    Turnaround();
    replacement.Send(WithPreambles(IdentityReply()));
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Data(), IdentityReply());
    ASSERT_TRUE(write.Wait());
    hart.reset();

    ASSERT_EQ(platform::UnregisterComPort(ports, comA_), 0);
    uint32_t error = 0;
    EXPECT_FALSE(OpenHart(comA_, &error));
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(PortTest, SuspendAndResumeOfTheFramework) {
    Start();
    auto hart = OpenHart(comA_);
    ASSERT_TRUE(hart);
    fw_->Suspend();
    PendingIo read(300), write;
    StartRead(*hart, read);
    Bytes request = ShortRequest(0);
    StartWrite(*hart, write, request);
    EXPECT_TRUE(port_->Receive(1, 300ms).empty()); // nothing goes out while suspended
    fw_->Resume();
    EXPECT_EQ(port_->Receive(request.size(), 4000ms), request);
    Turnaround();
    port_->Send(WithPreambles(IdentityReply()));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Data(), IdentityReply());
    // The port was opened afresh, with the HART settings.
    termios t = port_->Settings();
    EXPECT_EQ(::cfgetospeed(&t), B1200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

} // namespace
} // namespace zelhart::testing
