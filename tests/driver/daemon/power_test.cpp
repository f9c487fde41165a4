// Self-managed I/O suspend and resume of the driver in-process, with handles opened and closed around
// them and the test at the far end of each line: every device serves afterwards, and every write ends.
#include "fake_port.h"
#include "inprocess_fixture.h"

namespace zelhart::testing {
namespace {

class PowerTest : public InProcessDriverTest {
  protected:
    void SetUp() override {
        InProcessDriverTest::SetUp();
        WriteRegistry("\"QUIETTIME\"=dword:00000001\n");
        ports_[comA_] = std::make_unique<FakePort>(run_, comA_);
        ports_[comB_] = std::make_unique<FakePort>(run_, comB_);
        StartDriver();
        function_ = OpenFunctionDevice();
    }

    // One exchange as the library makes it, with the test answering as the transmitter.
    void ExpectExchange(DeviceFile& hart, FakePort& port) {
        PendingIo read(300), write;
        StartRead(hart, read);
        Bytes request = ShortRequest(0);
        StartWrite(hart, write, request);
        ASSERT_EQ(port.Receive(request.size(), 5000ms), request);
        Turnaround();
        port.Send(WithPreambles(IdentityReply()));
        ASSERT_TRUE(write.Wait());
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        ASSERT_TRUE(read.Wait());
        EXPECT_EQ(read.Data(), IdentityReply());
    }

    std::map<int, std::unique_ptr<FakePort>> ports_;
    std::unique_ptr<DeviceFile> function_;
};

// A handle closed while the device is suspended, or while it restarts after the resume, and opened
// again: the control queue the suspend purged serves again, and so does everything else.
TEST_F(PowerTest, AHandleClosedAroundSuspendAndResumeOpensAgainWithEveryQueueServing) {
    enum Step { Open, Close, Suspend, Resume, HalfASecond };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"closed while suspended, opened after the resume", {Open, Suspend, Close, Resume, Open}},
        {"closed and opened while suspended", {Open, Suspend, Close, Open, Resume}},
        {"closed half a second into the restart, opened at once",
         {Open, Suspend, Resume, HalfASecond, Close, Open}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<DeviceFile> hart;
        for (Step step : c.steps) {
            switch (step) {
            case Open:
                hart = OpenHart(comA_);
                ASSERT_TRUE(hart);
                break;
            case Close:
                ASSERT_EQ(hart->Close(), platform::ERROR_SUCCESS);
                hart.reset();
                break;
            case Suspend:
                fw_->Suspend();
                break;
            case Resume:
                fw_->Resume();
                break;
            case HalfASecond:
                std::this_thread::sleep_for(500ms);
                break;
            }
        }
        uint8_t mask = 0x03;
        EXPECT_EQ(Ioctl(*hart, IOCTL_HART_SET_READ_MASK, &mask, 1), STATUS_SUCCESS);
        ExpectExchange(*hart, *ports_[comA_]);
    }
}

// One device takes the suspend with its port open; another is opened while the function device is
// suspended and is waiting for a silent transmitter's reply when the resume comes. The resume
// restarts the first and leaves the second alone: its write ends after its retries, as it would have
// without the resume, and the first one's write goes out once its port is back.
TEST_F(PowerTest, AResumeRestartsOnlyTheDevicesThatWereSuspended) {
    auto suspended = OpenHart(comA_);
    ASSERT_TRUE(suspended);
    fw_->Suspend();
    auto openedMeanwhile = OpenHart(comB_);
    ASSERT_TRUE(openedMeanwhile);

    PendingIo heldRead(300), heldWrite;
    StartRead(*suspended, heldRead);
    Bytes request = ShortRequest(0);
    StartWrite(*suspended, heldWrite, request);
    PendingIo silentWrite;
    StartWrite(*openedMeanwhile, silentWrite, request);
    ASSERT_EQ(ports_[comB_]->Receive(request.size()), request); // now waiting for the reply

    fw_->Resume();
    // Three attempts (RetryCount 2), each waiting RT1PRIMARY + 3 ticks: well within 8 s.
    ASSERT_TRUE(silentWrite.Wait(8000));
    EXPECT_EQ(silentWrite.Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(ports_[comB_]->Receive(2 * request.size()).size(), 2 * request.size()); // the retries

    ASSERT_EQ(ports_[comA_]->Receive(request.size(), 5000ms), request);
    Turnaround();
    ports_[comA_]->Send(WithPreambles(IdentityReply()));
    ASSERT_TRUE(heldWrite.Wait());
    EXPECT_EQ(heldWrite.Status(), STATUS_SUCCESS);
    ASSERT_TRUE(heldRead.Wait());
    EXPECT_EQ(heldRead.Data(), IdentityReply());
}

} // namespace
} // namespace zelhart::testing
