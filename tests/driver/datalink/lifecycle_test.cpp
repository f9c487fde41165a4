// Writes, protocol settings, slave mode, and what open, close, removal do to the data link.
#include "link_fixture.h"
#include "test_access.h"

#include <gtest/gtest.h>

namespace zelhart::datalink::test {
namespace {

using S = MasterState;

// Puts a write on the wire and has the serial port take it: the machine then waits for the reply.
void WriteAndWaitForReply(LinkFixture& f) {
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    ASSERT_EQ(f.State(), S::STATE_WAIT_ACK);
}

TEST(Lifecycle, WriteIsRefusedWhileAnotherIsPendingAndInSlaveMode) {
    LinkFixture f;
    EXPECT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    EXPECT_EQ(f.link.AcceptWriteRequest(), STATUS_DEVICE_BUSY);

    LinkFixture slave;
    slave.link.SetProtocol({kModeSlave, 0x80, 2});
    EXPECT_EQ(slave.link.AcceptWriteRequest(), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(slave.link.Context().PendingWriteRequest);
}

TEST(Lifecycle, ClosingWhileWaitingForAReplyRestartsTheBusAndCancelsTheWrite) {
    LinkFixture f;
    WriteAndWaitForReply(f);
    f.link.FsmMasterProcessEvent(EVT_XMIT_REQ); // a restart work item's request, still queued
    f.link.OnCleanupOrClose();
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_CANCELLED);
    EXPECT_TRUE(f.Queue().empty());
    EXPECT_EQ(f.Timers().BG, 298);
    EXPECT_EQ(f.link.Context().CurrentReceiverState, ReceiverState::STATE_WAITING_FOR_PREAMBLE);

    f.link.OnCleanupOrClose(); // close after cleanup finds nothing left to do
    EXPECT_EQ(f.host.Writes.size(), 1u);
    f.Tick(37);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
    EXPECT_EQ(f.host.Transmissions, 1);
}

TEST(Lifecycle, PortRemovalCancelsThePendingWrite) {
    LinkFixture f;
    WriteAndWaitForReply(f);
    f.link.OnPortRemoved();
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_CANCELLED);
    EXPECT_EQ(f.host.Writes[0].Status, static_cast<NTSTATUS>(0xC0000120u));
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 0);
}

TEST(Lifecycle, OpenRestartsTheBusAndTheReceiver) {
    LinkFixture f;
    f.WaitBusFree();
    f.Feed(Bytes{0xFF, 0xFF});
    f.link.OnOpen();
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    EXPECT_EQ(f.link.Context().CurrentReceiverState, ReceiverState::STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(f.Timers().RcvGap, 0);
}

TEST(Lifecycle, SetProtocolTakesOnlyPrimaryOrSecondaryMasterType) {
    LinkFixture f;
    f.link.SetProtocol({kModeMaster, 0x81, 5});
    EXPECT_EQ(f.link.GetProtocol().MasterType, 0x80);
    EXPECT_EQ(f.link.GetProtocol().RetryCount, 5);
    f.link.SetProtocol({kModeMaster, 0x00, 1});
    EXPECT_EQ(f.link.GetProtocol().MasterType, 0x00);
    f.link.SetProtocol({7, 0x80, 1}); // an unknown mode changes nothing
    EXPECT_EQ(f.link.GetProtocol().StateMachineMode, kModeMaster);
}

TEST(Lifecycle, SlaveModeIsEnteredOnceWithTimesForTheMasterType) {
    struct Case {
        uint8_t masterType;
        uint16_t rt1diff, quiettime, bgtimeerror, bgtimestart;
    } cases[] = {{0x80, 0, 34, 298, 300}, {0x00, 8, 42, 306, 308}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.masterType));
        DataLinkTimings t;
        t.RT1PRIMARY = 40;
        t.GAP = 6;
        LinkFixture f(t);
        f.link.SetProtocol({kModeSlave, c.masterType, 2});
        const DataLinkTimings& now = f.link.Context().Timings;
        EXPECT_EQ(f.link.GetProtocol().StateMachineMode, kModeSlave);
        EXPECT_EQ(now.RT1DIFF, c.rt1diff);
        EXPECT_EQ(now.RT1PRIMARY, 34);
        EXPECT_EQ(now.QUIETTIME, c.quiettime);
        EXPECT_EQ(now.BGTIMEERROR, c.bgtimeerror);
        EXPECT_EQ(now.BGTIMESTART, c.bgtimestart);
        EXPECT_EQ(now.GAP, 3);
        EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);

        DataLinkTestAccess::Ctx(f.link).Timings.GAP = 9;
        f.link.SetProtocol({kModeMaster, c.masterType, 4});
        EXPECT_EQ(f.link.GetProtocol().StateMachineMode, kModeSlave) << "there is no way back";
        EXPECT_EQ(f.link.GetProtocol().RetryCount, 4);
        EXPECT_EQ(f.link.Context().Timings.GAP, 3);
    }
}

TEST(Lifecycle, EnteringSlaveModeCancelsAPendingWrite) {
    LinkFixture f;
    WriteAndWaitForReply(f);
    f.link.SetProtocol({kModeSlave, 0x80, 2});
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_CANCELLED);
}

TEST(Lifecycle, SlaveModeTickRunsOnlyTheGapCountdowns) {
    LinkFixture f;
    f.link.SetProtocol({kModeSlave, 0x80, 2});
    DataLinkTestAccess::Ctx(f.link).Timers = {
        .SlaveGap = 2, .Q = 2, .BA = 2, .BG = 2, .RcvGap = 0, .Restart = 2};
    f.Feed(Bytes{0xFF, 0xFF});
    EXPECT_EQ(f.link.Context().CurrentReceiverState, ReceiverState::STATE_VALIDATING_PREAMBLE);
    const MasterState before = f.State();
    f.Tick(3);
    const Countdowns& t = f.Timers();
    EXPECT_EQ(t.SlaveGap, 0);
    EXPECT_EQ(t.RcvGap, 0);
    EXPECT_EQ(f.link.Context().CurrentReceiverState, ReceiverState::STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(t.Q, 2);
    EXPECT_EQ(t.BA, 2);
    EXPECT_EQ(t.BG, 2);
    EXPECT_EQ(t.Restart, 2);
    EXPECT_EQ(f.State(), before);
}

TEST(Lifecycle, ReceiverEventsReachNoMachineInAnUnknownMode) {
    LinkFixture f;
    f.WaitBusFree();
    DataLinkTestAccess::Ctx(f.link).ProtocolInfo.StateMachineMode = 2;
    f.host.ClearRecords();
    f.Feed(WithPreambles(5, Reply(kPrimary)));
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
    EXPECT_TRUE(f.host.Traced("SendEventToOtherFsm Error: StateMachineMode is neither Master nor Slave!\n"));
    EXPECT_TRUE(f.link.HasDeliveredFrame()) << "delivery to readers does not depend on the mode";
}

// A transmit request queued twice for one write (the write path and the port restart work item both
// ask) must not outlive the write: left behind it would transmit nothing and use up attempts of the
// next write.
TEST(Lifecycle, SurplusTransmitRequestDoesNotOutliveItsWrite) {
    LinkFixture f;
    f.WaitBusFree();
    f.Feed(WithPreambles(5, Request(0x00)));
    ASSERT_EQ(f.State(), S::STATE_WAIT_OACK);
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.FsmMasterProcessEvent(EVT_XMIT_REQ);
    ASSERT_EQ(f.Queue().size(), 2u);
    f.Feed(WithPreambles(5, Reply(0x00)));
    ASSERT_EQ(f.host.Transmissions, 1);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(WithPreambles(5, Reply(kPrimary)));
    ASSERT_EQ(f.host.Writes.size(), 1u);
    f.Tick(8);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
    EXPECT_EQ(f.host.Transmissions, 1) << "nothing transmitted without a write";

    // The next write to a silent slave gets its full RetryCount + 1 attempts.
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    for (int i = 0; i < 3; ++i) {
        f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
        f.Tick(37);
    }
    EXPECT_EQ(f.host.Transmissions, 4);
    ASSERT_EQ(f.host.Writes.size(), 2u);
    EXPECT_EQ(f.host.Writes[1].Status, STATUS_TRANSACTION_TIMED_OUT);
}

TEST(Lifecycle, FailedSerialWritesEndInTimeoutAndAreTraced) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    for (int i = 0; i < 3; ++i) {
        f.link.SerialWriteCompleted(STATUS_INVALID_DEVICE_STATE, 0);
        EXPECT_EQ(f.Timers().BG, 37);
        f.Tick(37);
    }
    EXPECT_EQ(f.host.Transmissions, 3);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_TRUE(
        f.host.Traced("HartMasterFailTransmit Error: last transmission failed with Status: 0xC0000184\n"));
}

TEST(Lifecycle, WriteCompletionReportsItsSerialWrite) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 23);
    f.Feed(WithPreambles(5, Reply(kPrimary)));
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(f.host.Writes[0].Information, 23u);
    EXPECT_TRUE(f.host.Traced("xmit_confirm Complete PendingWriteRequest Status: 0   Information: 23\n"));
}

} // namespace
} // namespace zelhart::datalink::test
