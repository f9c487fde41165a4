// The common cases of bus arbitration, driven by real byte streams and ticks: start-up, one exchange,
// no reply, wrong replies, the other master's exchange, burst mode, suspend and restart.
#include "link_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace zelhart::datalink::test {
namespace {

using S = MasterState;
using States = std::vector<std::string>;

Bytes Pre(const Bytes& frame) {
    return WithPreambles(5, frame);
}

TEST(Walkthrough, StartUpFreesTheBusAfterTheQuietTime) {
    LinkFixture f;
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    EXPECT_EQ(f.Timers().BG, 298);
    EXPECT_EQ(f.Timers().Q, 37);
    f.Tick(36);
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    f.Tick(1);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
}

TEST(Walkthrough, WriteRightAfterOpenWaitsUntilTheBusRestartEnds) {
    LinkFixture f;
    f.WaitBusFree();
    f.link.OnOpen();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    EXPECT_EQ(f.host.Transmissions, 0);
    f.Tick(36);
    EXPECT_EQ(f.host.Transmissions, 0);
    f.Tick(1); // 370 ms of silence
    EXPECT_EQ(f.host.Transmissions, 1);
    EXPECT_EQ(f.State(), S::STATE_TRANSMITTING);
}

TEST(Walkthrough, TrafficHeardDuringRestartSynchronisesTheMachine) {
    struct Case {
        const char* name;
        Bytes traffic;
        S expected;
    } cases[] = {
        {"other master's request", Pre(Request(0x00)), S::STATE_WAIT_OACK},
        {"other master's exchange",
         [] {
             Bytes b = Pre(Request(0x00));
             Bytes r = Pre(Reply(0x00));
             b.insert(b.end(), r.begin(), r.end());
             return b;
         }(),
         S::STATE_MY_BUS},
        {"this master's own request", Pre(Request(kPrimary)), S::STATE_BUS_RESTART},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkFixture f;
        f.Tick(10);
        f.Feed(c.traffic);
        EXPECT_EQ(f.State(), c.expected);
        if (c.expected == S::STATE_BUS_RESTART) {
            EXPECT_EQ(f.Timers().BG, 298) << "restart_timers ran again";
        }
    }
}

TEST(Walkthrough, OneExchangeOfThisMaster) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    EXPECT_EQ(f.State(), S::STATE_TRANSMITTING);
    EXPECT_EQ(f.host.Transmissions, 1);

    f.link.SerialWriteCompleted(STATUS_SUCCESS, 12);
    EXPECT_EQ(f.State(), S::STATE_WAIT_ACK);
    EXPECT_EQ(f.Timers().BG, 37);

    const Bytes reply = Reply(kPrimary);
    const Bytes wire = Pre(reply);
    f.Feed(wire[0]);
    EXPECT_EQ(f.State(), S::STATE_RCV_MSG_ACK);
    EXPECT_EQ(f.Timers().BG, 170);

    f.Feed(Bytes(wire.begin() + 1, wire.end()));
    EXPECT_EQ(f.State(), S::STATE_BUS_BUSY);
    EXPECT_EQ(f.Timers().BG, 8);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(f.host.Writes[0].Information, 12u);

    Bytes read(300);
    const auto copy = f.link.ReadDeliveredFrame(read);
    read.resize(copy.Bytes);
    EXPECT_EQ(read, reply);
    EXPECT_EQ(copy.Status, STATUS_SUCCESS);

    f.Tick(7);
    EXPECT_EQ(f.State(), S::STATE_BUS_BUSY);
    f.Tick(1);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
}

// Transmissions with a silent slave: each serial write takes `transmitTicks`; returns the tick of
// every transmission and of the write's completion.
struct SilentSlaveRun {
    std::vector<int> transmittedAt;
    int completedAt = -1;
    NTSTATUS status = STATUS_SUCCESS;
};

SilentSlaveRun RunWithSilentSlave(LinkFixture& f, int transmitTicks, int limit) {
    SilentSlaveRun run;
    int now = 0;
    int doneAt = -1;
    auto noteTransmissions = [&] {
        while (static_cast<int>(run.transmittedAt.size()) < f.host.Transmissions) {
            run.transmittedAt.push_back(now);
            doneAt = now + transmitTicks;
        }
    };
    EXPECT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    noteTransmissions();
    while (now < limit && f.host.Writes.empty()) {
        ++now;
        f.Tick();
        if (now == doneAt) f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
        noteTransmissions();
    }
    if (!f.host.Writes.empty()) {
        run.completedAt = now;
        run.status = f.host.Writes[0].Status;
    }
    return run;
}

TEST(Walkthrough, NoReplyIsRetriedThenTimesOut) {
    LinkFixture f;
    f.WaitBusFree();
    const SilentSlaveRun run = RunWithSilentSlave(f, 2, 1000);
    // RetryCount 2: three transmissions, each 2 ticks on the wire plus RT1PRIMARY + 3 = 37 ticks of waiting.
    EXPECT_EQ(run.transmittedAt, (std::vector<int>{0, 39, 78}));
    EXPECT_EQ(run.completedAt, 117);
    EXPECT_EQ(run.status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(f.host.ResumeReceptionCount, 1);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
    EXPECT_TRUE(f.Queue().empty());
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 0);
}

TEST(Walkthrough, Rt1DiffDelaysTheRetry) {
    DataLinkTimings t;
    t.RT1DIFF = 5;
    LinkFixture f(t);
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Tick(37);
    EXPECT_EQ(f.State(), S::STATE_BUS_BUSY);
    EXPECT_EQ(f.Timers().BG, 5);
    f.Tick(4);
    EXPECT_EQ(f.host.Transmissions, 1);
    f.Tick(1);
    EXPECT_EQ(f.host.Transmissions, 2);
    EXPECT_EQ(f.State(), S::STATE_TRANSMITTING);
}

TEST(Walkthrough, WrongReplyUsesAnAttemptAndRestartsWithTheErrorWait) {
    struct Case {
        const char* name;
        std::function<void(LinkFixture&)> reply;
    } cases[] = {
        {"request of this master", [](LinkFixture& f) { f.Feed(Pre(Request(kPrimary))); }},
        {"burst frame of this master", [](LinkFixture& f) { f.Feed(Pre(BurstFrame(kPrimary))); }},
        {"reply to the other master", [](LinkFixture& f) { f.Feed(Pre(Reply(0x00))); }},
        {"line error in the header",
         [](LinkFixture& f) {
             const Bytes wire = Pre(Reply(kPrimary));
             f.Feed(Bytes(wire.begin(), wire.begin() + 6));
             f.Feed(wire[6], STATUS_UNSUCCESSFUL);
         }},
        {"BG expiry while the reply arrives",
         [](LinkFixture& f) {
             f.Feed(Bytes{0xFF, 0xFF, 0xFF});
             f.Tick(170); // the receive gap gives up after 3 ticks; BG (170) ends the wait
         }},
        {"reply cut short after its delimiter (the line falls silent for the receive gap)",
         [](LinkFixture& f) {
             const Bytes wire = Pre(Reply(kPrimary));
             f.Feed(Bytes(wire.begin(), wire.begin() + 10));
             f.Tick(3); // the frame reception limit (1000) would otherwise hold the write for 10 s
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinkFixture f;
        f.WaitBusFree();
        ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
        f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
        c.reply(f);
        EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
        EXPECT_EQ(f.Timers().BG, 296);
        EXPECT_EQ(f.Timers().Q, 37);
        EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 2);
        EXPECT_TRUE(f.host.Writes.empty());
        ASSERT_EQ(f.Queue().size(), 1u);
        EXPECT_EQ(f.Queue()[0], EVT_XMIT_REQ);
        f.Tick(37);
        EXPECT_EQ(f.host.Transmissions, 2) << "sent again once the bus is free";
    }
}

TEST(Walkthrough, ReplyFromABurstModeSlaveCompletesTheWriteAndEntersBurstMode) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(Pre(Reply(kPrimary, 0x33, true)));
    EXPECT_EQ(f.State(), S::STATE_BURST_BUS_BUSY);
    EXPECT_EQ(f.Timers().BG, 34);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(f.link.Context().BurstAddress, (std::array<uint8_t, 5>{0x26, 0x99, 0xFC, 0x00, 0x33}));
}

TEST(Walkthrough, OtherMastersExchangeOpensThisMastersWindow) {
    {
        SCOPED_TRACE("a write waiting since the other master's request goes out in the window");
        LinkFixture f;
        f.WaitBusFree();
        f.Feed(Pre(Request(0x00)));
        EXPECT_EQ(f.State(), S::STATE_WAIT_OACK);
        EXPECT_EQ(f.Timers().BG, 34);
        ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
        EXPECT_EQ(f.host.Transmissions, 0);
        f.Feed(Pre(Reply(0x00)));
        EXPECT_EQ(f.host.Transmissions, 1);
        EXPECT_EQ(f.State(), S::STATE_TRANSMITTING);
    }
    {
        SCOPED_TRACE("a write within HOLD ticks uses the window");
        LinkFixture f;
        f.WaitBusFree();
        f.Feed(Pre(Request(0x00)));
        f.Feed(Pre(Reply(0x00)));
        EXPECT_EQ(f.State(), S::STATE_MY_BUS);
        EXPECT_EQ(f.Timers().BA, 3);
        f.Tick(2);
        ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
        EXPECT_EQ(f.State(), S::STATE_TRANSMITTING);
    }
    {
        SCOPED_TRACE("a missed window leaves the bus busy for MISSEDTRANSMITWINDOW");
        LinkFixture f;
        f.WaitBusFree();
        f.Feed(Pre(Request(0x00)));
        f.Feed(Pre(Reply(0x00)));
        f.Tick(3);
        EXPECT_EQ(f.State(), S::STATE_BUS_BUSY);
        EXPECT_EQ(f.Timers().BG, 77);
        f.Tick(76);
        EXPECT_EQ(f.State(), S::STATE_BUS_BUSY);
        f.Tick(1);
        EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
    }
    {
        SCOPED_TRACE("the other master's slave stays silent: the bus frees after RT1PRIMARY + RT1DIFF");
        LinkFixture f;
        f.WaitBusFree();
        f.Feed(Pre(Request(0x00)));
        ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
        f.host.ClearRecords();
        f.Tick(34);
        EXPECT_EQ(f.host.StatesEntered(), (States{"STATE_BUS_BUSY", "STATE_BUS_FREE", "STATE_TRANSMITTING"}));
    }
}

// Burst mode: the bursting slave's address is recorded; a later reply in a burst state is compared
// with it and the pending state resolves on the match.
TEST(Walkthrough, BurstModeRepliesAreMatchedAgainstTheBurstingSlave) {
    struct Case {
        uint8_t replyingSlave;
        S afterReply;
        uint16_t bg, ba;
    };
    {
        SCOPED_TRACE("this master's exchange in the burst family");
        for (const Case c :
             {Case{0x11, S::STATE_BUS_BUSY, 8, 0}, Case{0x12, S::STATE_BURST_BUS_BUSY, 34, 0}}) {
            LinkFixture f;
            f.Tick(5);
            f.Feed(Pre(BurstFrame(0x00, 0x11))); // the other master's slave bursts
            EXPECT_EQ(f.State(), S::STATE_BURST_MY_BUS);
            EXPECT_EQ(f.link.Context().BurstAddress, (std::array<uint8_t, 5>{0x26, 0x99, 0xFC, 0x00, 0x11}));
            ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
            EXPECT_EQ(f.State(), S::STATE_BURST_TRANSMITTING);
            f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
            EXPECT_EQ(f.State(), S::STATE_BURST_WAIT_ACK);
            f.host.ClearRecords();
            f.Feed(Pre(Reply(kPrimary, c.replyingSlave)));
            EXPECT_EQ(f.host.StatesEntered(), (States{"STATE_BURST_RCV_MSG_ACK", "STATE_BURST_PENDING_ACK",
                                                      MasterStateName(c.afterReply)}));
            EXPECT_EQ(f.Timers().BG, c.bg);
            ASSERT_EQ(f.host.Writes.size(), 1u) << "the reply completes the write either way";
            EXPECT_EQ(f.host.Writes[0].Status, STATUS_SUCCESS);
        }
    }
    {
        SCOPED_TRACE("the other master's exchange in the burst family");
        for (const Case c : {Case{0x11, S::STATE_MY_BUS, 0, 3}, Case{0x12, S::STATE_BURST_BUS_BUSY, 34, 0}}) {
            LinkFixture f;
            f.Tick(5);
            f.Feed(Pre(BurstFrame(kPrimary, 0x11)));
            EXPECT_EQ(f.State(), S::STATE_BURST_BUS_BUSY);
            f.Feed(Pre(Request(0x00)));
            EXPECT_EQ(f.State(), S::STATE_BURST_WAIT_OACK);
            f.host.ClearRecords();
            f.Feed(Pre(Reply(0x00, c.replyingSlave)));
            EXPECT_EQ(f.host.StatesEntered(), (States{"STATE_BURST_RCV_MSG_OACK", "STATE_BURST_PENDING_OACK",
                                                      MasterStateName(c.afterReply)}));
            EXPECT_EQ(f.Timers().BG, c.bg);
            EXPECT_EQ(f.Timers().BA, c.ba);
        }
    }
}

// A frame whose first preamble arrives while the machine does not expect traffic (here: before the
// serial write's completion is seen) ends in a state that takes no frame event. The state's wait must
// still end: the attempt is counted and the frame sent again, instead of waiting for ever.
TEST(Walkthrough, FrameStartingDuringTheTransmissionDoesNotStallTheWrite) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    const Bytes wire = Pre(Reply(kPrimary));
    f.Feed(Bytes(wire.begin(), wire.begin() + 2)); // EVT_VAL_PRE in STATE_TRANSMITTING: dropped
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    ASSERT_EQ(f.State(), S::STATE_WAIT_ACK);
    f.host.ClearRecords();
    f.Feed(Bytes(wire.begin() + 2, wire.end()));
    EXPECT_EQ(f.host.StatesEntered(), (States{"STATE_BUS_BUSY", "STATE_BUS_FREE", "STATE_TRANSMITTING"}));
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 2);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    f.Feed(wire);
    ASSERT_EQ(f.host.Writes.size(), 1u);
    EXPECT_EQ(f.host.Writes[0].Status, STATUS_SUCCESS);
}

TEST(Walkthrough, FrameStartingInTheTransmitWindowDoesNotKeepTheBusBusy) {
    LinkFixture f;
    f.WaitBusFree();
    f.Feed(Pre(Request(0x00)));
    f.Feed(Pre(Reply(0x00)));
    ASSERT_EQ(f.State(), S::STATE_MY_BUS);
    const Bytes wire = Pre(Request(0x00, 0x12)); // the other master goes on at once
    for (int i = 0; i < 3; ++i) {                // one character per tick while the window closes
        f.Feed(wire[static_cast<size_t>(i)]);
        f.Tick();
    }
    ASSERT_EQ(f.State(), S::STATE_BUS_BUSY);
    f.Feed(Bytes(wire.begin() + 3, wire.end()));
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);
}

TEST(Walkthrough, SuspendThenRestartTwoSecondsAfterResume) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    f.link.SerialWriteCompleted(STATUS_SUCCESS, 9);
    ASSERT_EQ(f.State(), S::STATE_WAIT_ACK);

    f.link.OnSuspend();
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    EXPECT_TRUE(f.host.Writes.empty()) << "the write survives the sleep";

    f.link.OnResume();
    EXPECT_EQ(f.Timers().Restart, 200);
    EXPECT_EQ(f.Timers().BG, 0);
    EXPECT_EQ(f.Timers().Q, 0);
    f.Tick(199);
    EXPECT_EQ(f.host.TriggerTxCount, 0);
    EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
    f.Tick(1);
    EXPECT_EQ(f.host.TriggerTxCount, 1);
    EXPECT_EQ(f.State(), S::STATE_BUS_FREE);

    // The port restart work item finds the write pending and asks for its transmission.
    f.link.FsmMasterProcessEvent(EVT_XMIT_REQ);
    EXPECT_EQ(f.host.Transmissions, 2);
    EXPECT_EQ(f.link.Context().WriteRetriesLeftCount, 3) << "the interrupted attempt is not counted";
}

TEST(Walkthrough, SuspendWhileWaitingForTheOtherMastersSlaveKeepsTheDeliveredFrame) {
    for (const bool waitingForOtherSlave : {true, false}) {
        SCOPED_TRACE(waitingForOtherSlave ? "STATE_WAIT_OACK" : "STATE_BUS_FREE");
        LinkFixture f;
        f.WaitBusFree();
        f.link.SetReadMask(0x40); // the other master's requests
        f.Feed(Pre(Request(0x00)));
        ASSERT_EQ(f.State(), S::STATE_WAIT_OACK);
        if (!waitingForOtherSlave) f.Tick(34);
        f.link.OnSuspend();
        EXPECT_EQ(f.State(), S::STATE_BUS_RESTART);
        EXPECT_EQ(f.link.HasDeliveredFrame(), waitingForOtherSlave);
    }
}

} // namespace
} // namespace zelhart::datalink::test
