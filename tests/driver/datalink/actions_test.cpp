// Each action of the master state machine alone, run on a context whose countdowns, queue and write
// state are preset to recognisable values, so that every field an action sets, clears or leaves alone
// shows.
#include "link_fixture.h"
#include "test_access.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelhart::datalink::test {
namespace {

using detail::Action;

DataLinkTimings DistinctTimings() {
    DataLinkTimings t;
    t.RT1PRIMARY = 34;
    t.RT2 = 8;
    t.QUIETTIME = 40;
    t.BGTIMESTART = 298;
    t.BGTIMEERROR = 296;
    t.RT1DIFF = 5;
    t.MISSEDTRANSMITWINDOW = 77;
    t.HOLD = 3;
    return t;
}

constexpr Countdowns kPreset{.SlaveGap = 7, .Q = 11, .BA = 12, .BG = 13, .RcvGap = 14, .Restart = 15};
const std::vector<uint8_t> kPresetQueue = {EVT_BG_TIMEOUT, EVT_XMIT_REQ, EVT_Q_TIMEOUT};
constexpr std::array<uint8_t, 5> kLastAddress = {0x26, 0x99, 0xFC, 0x00, 0x42};
constexpr NTSTATUS kSerialStatus = STATUS_SUCCESS;
constexpr uint32_t kSerialBytes = 17;
constexpr int kKeep = -1; // countdown left as preset

struct Fixture : LinkFixture {
    explicit Fixture(int retriesLeft = 3) : LinkFixture(DistinctTimings()) {
        DataLinkContext& c = DataLinkTestAccess::Ctx(link);
        c.Timers = kPreset;
        c.EventQueue.Clear();
        for (uint8_t e : kPresetQueue)
            c.EventQueue.Append(e);
        c.ProtocolInfo.Address = kLastAddress;
        c.BurstAddress = {};
        c.PendingWriteRequest = true;
        c.WriteRetriesLeftCount = retriesLeft;
        c.WriteCompletionStatus = kSerialStatus;
        c.WriteCompletionInformation = kSerialBytes;
        c.CurrentReceiverState = ReceiverState::STATE_RECEIVING_VALID_DATA;
        host.ClearRecords();
    }
    void Run(Action a) { DataLinkTestAccess::RunAction(link, a); }
    std::vector<uint8_t> QueueVector() const {
        std::vector<uint8_t> q;
        for (size_t i = 0; i < Queue().size(); ++i)
            q.push_back(Queue()[i]);
        return q;
    }
};

struct Effects {
    Action action;
    int Q, BA, BG, Restart; // expected countdowns, kKeep = unchanged
    bool clearsTimerEvents;
    bool failsAttempt;  // HartMasterFailTransmit
    bool confirmsWrite; // xmit_confirm
    bool recordsBurstAddress;
};

// The countdown rules of each action, with QUIETTIME 40, RT1PRIMARY 34, RT2 8, RT1DIFF 5, HOLD 3.
const Effects kEffects[] = {
    {Action::restart_timers, 43, 0, 298, 0, true, false, false, false},
    {Action::restart_timers_ACK_err, 43, 0, 296, 0, true, true, false, false},
    {Action::init_BG_wait_slave, 0, 0, 34, kKeep, true, false, false, false},
    {Action::init_BG_wait_slave_xmit, 0, 0, 37, kKeep, true, false, false, false},
    {Action::init_BG_noresp_wait_slave, 0, 0, 34, kKeep, true, true, false, false},
    {Action::init_BG_wait_slave_burst_on, 0, 0, 34, kKeep, true, false, false, true},
    {Action::init_BG_wait_xmit, 0, 3, 0, kKeep, true, false, false, false},
    {Action::init_BG_wait_xmit_burst_on, 0, 3, 0, kKeep, true, false, false, true},
    {Action::init_BG_wait_req, 0, 0, 8, kKeep, true, false, false, false},
    {Action::init_BG_wait_pri, 0, 0, 5, kKeep, true, false, false, false},
    {Action::init_BG_noresp_wait_pri, 0, 0, 5, kKeep, true, true, false, false},
    {Action::set_BG_timeout, kKeep, kKeep, kKeep, kKeep, false, false, false, false},
    {Action::missed_window, 0, 0, 77, kKeep, true, false, false, false},
    {Action::InitTimeout, 0, 0, 170, kKeep, false, false, false, false},
    {Action::preamble_overflow, kKeep, kKeep, kKeep, kKeep, false, true, false, false},
    {Action::init_BG_wait_slave_xmit_conf, 0, 0, 37, kKeep, true, false, true, false},
    {Action::init_BG_wait_slave_burst_on_xmit_conf, 0, 0, 34, kKeep, true, false, true, true},
    {Action::init_BG_wait_req_xmit_conf, 0, 0, 8, kKeep, true, false, true, false},
    {Action::activate_match_xmit_conf, kKeep, kKeep, kKeep, kKeep, false, false, true, false},
    {Action::InitializeForRestartIo, kKeep, kKeep, kKeep, kKeep, false, false, false, false},
};

int Expect(int expected, uint16_t preset) {
    return expected == kKeep ? preset : expected;
}

TEST(Actions, CountdownsQueueAndWriteEffects) {
    for (const Effects& e : kEffects) {
        SCOPED_TRACE(detail::ActionName(e.action));
        Fixture f;
        f.Run(e.action);
        const Countdowns& t = f.Timers();
        EXPECT_EQ(t.Q, Expect(e.Q, kPreset.Q));
        EXPECT_EQ(t.BA, Expect(e.BA, kPreset.BA));
        EXPECT_EQ(t.BG, Expect(e.BG, kPreset.BG));
        EXPECT_EQ(t.Restart, Expect(e.Restart, kPreset.Restart));
        EXPECT_EQ(t.SlaveGap, kPreset.SlaveGap);
        EXPECT_EQ(t.RcvGap, e.failsAttempt ? 0 : kPreset.RcvGap) << "only a retry resets the receiver";

        std::vector<uint8_t> queue = kPresetQueue;
        if (e.failsAttempt) queue.push_back(EVT_XMIT_REQ);
        if (e.clearsTimerEvents) std::erase_if(queue, [](uint8_t x) { return (x & 0x40) != 0; });
        if (e.confirmsWrite) std::erase_if(queue, [](uint8_t x) { return x == EVT_XMIT_REQ; });
        EXPECT_EQ(f.QueueVector(), queue);

        const DataLinkContext& c = f.link.Context();
        if (e.confirmsWrite) {
            ASSERT_EQ(f.host.Writes.size(), 1u);
            EXPECT_EQ(f.host.Writes[0].Status, kSerialStatus);
            EXPECT_EQ(f.host.Writes[0].Information, kSerialBytes);
            EXPECT_FALSE(c.PendingWriteRequest);
            EXPECT_EQ(c.WriteRetriesLeftCount, 0);
        } else {
            EXPECT_TRUE(f.host.Writes.empty());
            EXPECT_TRUE(c.PendingWriteRequest);
            EXPECT_EQ(c.WriteRetriesLeftCount, e.failsAttempt ? 2 : 3);
        }
        const std::array<uint8_t, 5> burst = e.recordsBurstAddress ? kLastAddress : std::array<uint8_t, 5>{};
        EXPECT_EQ(c.BurstAddress, burst);
        EXPECT_EQ(f.host.Transmissions, 0);
        EXPECT_EQ(f.host.TriggerTxCount, e.action == Action::InitializeForRestartIo ? 1 : 0);
    }
}

TEST(Actions, TransmitCountsAttemptsOnlyAtTheFirstTransmission) {
    Fixture first(0);
    first.Run(Action::transmit);
    EXPECT_EQ(first.link.Context().WriteRetriesLeftCount, 3) << "RetryCount 2 + 1";
    EXPECT_EQ(first.host.Transmissions, 1);
    EXPECT_EQ(first.link.Context().CurrentReceiverState, ReceiverState::STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(first.Timers().BG, kPreset.BG);

    Fixture retry(2);
    retry.Run(Action::transmit);
    EXPECT_EQ(retry.link.Context().WriteRetriesLeftCount, 2);
    EXPECT_EQ(retry.host.Transmissions, 1);
}

TEST(Actions, LastFailedAttemptCompletesTheWriteWithTimeout) {
    Fixture f(1);
    f.Run(Action::preamble_overflow);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(f.host.Writes[0].Status, static_cast<NTSTATUS>(0xC0000210u));
    EXPECT_EQ(f.host.ResumeReceptionCount, 1);
    EXPECT_FALSE(f.link.Context().PendingWriteRequest);
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 0);
    EXPECT_EQ(f.QueueVector(), (std::vector<uint8_t>{EVT_BG_TIMEOUT, EVT_Q_TIMEOUT}))
        << "no retry is left queued";
}

TEST(Actions, FailureWithoutACountedTransmissionChangesNothing) {
    Fixture f(0);
    f.Run(Action::preamble_overflow);
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 0);
    EXPECT_EQ(f.QueueVector(), kPresetQueue);
    EXPECT_TRUE(f.host.Writes.empty());
}

TEST(Actions, SetBgTimeoutQueuesTheTimeoutOnlyWhenBgIsStopped) {
    Fixture f;
    DataLinkTestAccess::Ctx(f.link).Timers.BG = 0;
    f.Run(Action::set_BG_timeout);
    auto expected = kPresetQueue;
    expected.push_back(EVT_BG_TIMEOUT);
    EXPECT_EQ(f.QueueVector(), expected);
}

TEST(Actions, WaitPriWithZeroRt1DiffQueuesAnImmediateBgTimeout) {
    Fixture f;
    DataLinkTestAccess::Ctx(f.link).Timings.RT1DIFF = 0;
    f.Run(Action::init_BG_wait_pri);
    EXPECT_EQ(f.Timers().BG, 0);
    EXPECT_EQ(f.QueueVector(), (std::vector<uint8_t>{EVT_XMIT_REQ, EVT_BG_TIMEOUT}));
}

TEST(Actions, CleanupForSuspendIoRestartsTimersAndEmptiesTheReceiveSide) {
    Fixture f;
    DataLinkContext& c = DataLinkTestAccess::Ctx(f.link);
    c.CommData[0].fill(0xAB);
    c.CommData[1].fill(0xCD);
    c.RcvBufferStart = 1;
    c.RcvReadBuffer = 0;
    c.RcvReadPos = 4;
    c.RcvWritePos = 9;
    c.RcvPendingCount = 20;
    c.RcvCountdown = 5;
    c.RcvChecksum = 0x33;
    c.PreambleCount = 6;
    f.Run(Action::CleanupForSuspendIo);
    EXPECT_EQ(f.Timers().BG, 298);
    EXPECT_EQ(f.Timers().Q, 43);
    EXPECT_EQ(f.Timers().BA, 0);
    EXPECT_EQ(f.Timers().Restart, 0);
    EXPECT_EQ(c.RcvPendingCount, 0u);
    EXPECT_EQ(c.RcvCountdown, 0);
    EXPECT_EQ(c.RcvChecksum, 0);
    EXPECT_EQ(c.PreambleCount, 0);
    EXPECT_EQ(c.CommData[0], RcvBuffer{});
    EXPECT_EQ(c.CommData[1], RcvBuffer{});
    EXPECT_EQ(c.RcvBufferStart, 1);
    EXPECT_EQ(c.RcvReadBuffer, 1);
    EXPECT_EQ(c.RcvReadPos, 0);
    EXPECT_EQ(c.RcvWritePos, 0);
    EXPECT_FALSE(f.link.HasDeliveredFrame());
}

} // namespace
} // namespace zelhart::datalink::test
