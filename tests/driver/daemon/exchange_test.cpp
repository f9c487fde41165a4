// HART exchanges through the daemon: the reply completes the write and the waiting read; silence is
// retried and timed out; a damaged reply reaches the reader with STATUS_CRC_ERROR; the buffered
// frame is read in pieces or replaced by a newer one.
#include "daemon_fixture.h"

namespace zelhart::testing {
namespace {

class ExchangeTest : public DaemonTest {
  protected:
    // A simulator on the test's first port with `extra` options, the daemon, the function device and
    // its HART device.
    void Start(std::vector<std::string> extra = {}) {
        StartSim(comA_, std::move(extra));
        StartDaemon();
        function_ = OpenFunctionDevice();
        hart_ = OpenHart(comA_);
        ASSERT_TRUE(hart_);
    }
    std::unique_ptr<DeviceFile> function_, hart_;
};

// An identity reply of the Korvel-4810 at polling address 0 to a primary master: delimiter 06,
// address 80, command 0, byte count 14, response code and status, then 254 and the identity.
void ExpectIdentityReply(const Bytes& reply) {
    ASSERT_GE(reply.size(), 18u);
    EXPECT_EQ(reply[0], 0x06);
    EXPECT_EQ(reply[1], 0x80);
    EXPECT_EQ(reply[2], 0x00);
    EXPECT_EQ(reply[3], reply.size() - 5);
    EXPECT_EQ(reply[6], 254);
    EXPECT_EQ(reply[7], 153); // manufacturer
    EXPECT_EQ(reply[8], 252); // device type
    EXPECT_TRUE(CheckByteOk(reply));
}

TEST_F(ExchangeTest, IdentityReplyCompletesTheWriteAndTheWaitingRead) {
    Start();
    Bytes request = ShortRequest(0);
    ExchangeResult r = Exchange(*hart_, request);
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.written, request.size());
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
    ExpectIdentityReply(r.reply);
    EXPECT_EQ(CountHeard(comA_), 1);

    // The next exchange on the same handle works the same way.
    ExchangeResult again = Exchange(*hart_, ShortRequest(249));
    EXPECT_EQ(again.writeStatus, STATUS_SUCCESS);
    ASSERT_GE(again.reply.size(), 4u);
    EXPECT_EQ(again.reply[2], 249);
}

TEST_F(ExchangeTest, SilenceIsRetriedRetryCountTimesThenTimesOut) {
    Start({"--silent", "3"});
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x80, 2), STATUS_SUCCESS);
    PendingIo write;
    StartWrite(*hart_, write, ShortRequest(0));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(CountHeard(comA_), 3); // the first transmission and RetryCount more

    // The transmitter hears again: the next write is answered.
    ExchangeResult r = Exchange(*hart_, ShortRequest(0));
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
    ExpectIdentityReply(r.reply);
    EXPECT_EQ(CountHeard(comA_), 4);
}

TEST_F(ExchangeTest, RetryCountZeroSendsOnce) {
    Start({"--silent", "1"});
    ASSERT_EQ(SetProtocol(*hart_, 0, 0x80, 0), STATUS_SUCCESS);
    PendingIo write;
    StartWrite(*hart_, write, ShortRequest(0));
    ASSERT_TRUE(write.Wait());
    EXPECT_EQ(write.Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(CountHeard(comA_), 1);
}

TEST_F(ExchangeTest, BadCheckByteReachesTheReaderAsCrcErrorWithTheBytes) {
    Start({"--bad-check", "1"});
    ExchangeResult r = Exchange(*hart_, ShortRequest(0));
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS); // the frame still answers the request
    EXPECT_EQ(r.readStatus, STATUS_CRC_ERROR);
    ASSERT_GE(r.reply.size(), 18u);
    EXPECT_EQ(r.reply[0], 0x06);
    EXPECT_EQ(r.reply[2], 0x00);
    EXPECT_FALSE(CheckByteOk(r.reply));

    // The next reply is sound again.
    ExchangeResult next = Exchange(*hart_, ShortRequest(0));
    EXPECT_EQ(next.readStatus, STATUS_SUCCESS);
    ExpectIdentityReply(next.reply);
}

// Writes one frame with no read waiting; the reply stays buffered in the driver.
void ExchangeWithoutReader(DeviceFile& file, uint8_t command) {
    PendingIo write;
    StartWrite(file, write, ShortRequest(command));
    ASSERT_TRUE(write.Wait());
    ASSERT_EQ(write.Status(), STATUS_SUCCESS);
}

TEST_F(ExchangeTest, BufferedFrameIsReadInPiecesByAnImmediateRead) {
    Start();
    ExchangeWithoutReader(*hart_, 0);
    PendingIo first(2);
    StartRead(*hart_, first);
    ASSERT_TRUE(first.Wait());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Data(), (Bytes{0x06, 0x80}));

    PendingIo rest(300);
    StartRead(*hart_, rest);
    ASSERT_TRUE(rest.Wait());
    EXPECT_EQ(rest.Status(), STATUS_SUCCESS);
    Bytes whole = first.Data(), tail = rest.Data();
    whole.insert(whole.end(), tail.begin(), tail.end());
    ExpectIdentityReply(whole);
}

TEST_F(ExchangeTest, OfTwoFramesBeforeARead_TheSecondIsRead) {
    Start();
    ExchangeWithoutReader(*hart_, 0);
    ExchangeWithoutReader(*hart_, 249);
    PendingIo read(300);
    StartRead(*hart_, read);
    ASSERT_TRUE(read.Wait());
    Bytes frame = read.Data();
    ASSERT_GE(frame.size(), 4u);
    EXPECT_EQ(frame[2], 249); // the reply to the second request
    EXPECT_TRUE(CheckByteOk(frame));

    // Nothing is left: the next read waits.
    PendingIo more(300);
    StartRead(*hart_, more);
    EXPECT_FALSE(more.Wait(200));
    hart_->CancelIoEx(&more.ov);
    ASSERT_TRUE(more.Wait());
    EXPECT_EQ(more.Status(), STATUS_CANCELLED);
}

TEST_F(ExchangeTest, WaitingReadWithASmallBufferGetsTheStartAndTheRestIsDropped) {
    Start();
    PendingIo read(10), write;
    StartRead(*hart_, read);
    StartWrite(*hart_, write, ShortRequest(0));
    ASSERT_TRUE(write.Wait());
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    ASSERT_EQ(read.Information(), 10u);
    EXPECT_EQ(read.Data()[0], 0x06);

    PendingIo next(300);
    StartRead(*hart_, next);
    EXPECT_FALSE(next.Wait(200));
    hart_->CancelIoEx(&next.ov);
    ASSERT_TRUE(next.Wait());
}

TEST_F(ExchangeTest, ReadCancelledByItsIssuerCompletesCancelledAndTheNextWriteRestartsReception) {
    Start();
    PendingIo read(300);
    StartRead(*hart_, read);
    hart_->CancelIoEx(&read.ov);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);

    ExchangeResult r = Exchange(*hart_, ShortRequest(0));
    EXPECT_EQ(r.writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(r.readStatus, STATUS_SUCCESS);
    ExpectIdentityReply(r.reply);
}

} // namespace
} // namespace zelhart::testing
