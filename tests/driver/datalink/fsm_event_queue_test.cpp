// The 8-byte deferred-event queue and what the state machine does when it is full.
#include "link_fixture.h"
#include "zelhart/datalink/fsm_event_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelhart::datalink::test {
namespace {

std::vector<uint8_t> Entries(const FsmEventQueue& q) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i < q.size(); ++i)
        v.push_back(q[i]);
    return v;
}

TEST(FsmEventQueue, KeepsArrivalOrderFindsByMaskAndShiftsOnRemoval) {
    FsmEventQueue q;
    EXPECT_EQ(q.FindFirst(0xFF), -1);
    for (uint8_t e : {EVT_XMIT_REQ, EVT_BG_TIMEOUT, EVT_BURST_MATCH, EVT_Q_TIMEOUT})
        ASSERT_TRUE(q.Append(e));
    EXPECT_EQ(q.FindFirst(0x40), 1);
    EXPECT_EQ(q.FindFirst(0x20), 2);
    EXPECT_EQ(q.FindFirst(0x01), 1) << "first entry sharing any bit";
    q.RemoveAt(1);
    EXPECT_EQ(Entries(q), (std::vector<uint8_t>{EVT_XMIT_REQ, EVT_BURST_MATCH, EVT_Q_TIMEOUT}));
    q.RemoveAt(7); // beyond the entries: nothing happens
    q.RemoveAt(-1);
    EXPECT_EQ(q.size(), 3u);
}

TEST(FsmEventQueue, RemoveAllTakesEveryMatchingEntry) {
    FsmEventQueue q;
    for (uint8_t e :
         {EVT_BG_TIMEOUT, EVT_XMIT_REQ, EVT_Q_TIMEOUT, EVT_BA_TIMEOUT, EVT_XMIT_REQ, EVT_BURST_OTHER}) {
        q.Append(e);
    }
    q.RemoveAll(0x40); // ClearTimerEvents
    EXPECT_EQ(Entries(q), (std::vector<uint8_t>{EVT_XMIT_REQ, EVT_XMIT_REQ, EVT_BURST_OTHER}));
    q.RemoveAll(0x08); // ClearTransmitRequest
    EXPECT_EQ(Entries(q), std::vector<uint8_t>{EVT_BURST_OTHER});
    q.RemoveAll(0x20); // a validated frame
    EXPECT_TRUE(q.empty());
}

TEST(FsmEventQueue, HoldsSevenEventsAndKeepsItsTerminator) {
    FsmEventQueue q;
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(q.Append(EVT_BG_TIMEOUT));
    EXPECT_FALSE(q.Append(EVT_XMIT_REQ));
    EXPECT_FALSE(q.Append(0)) << "0 is the terminator, never an event";
    EXPECT_EQ(q.size(), 7u);
    EXPECT_EQ(q.bytes()[7], 0);
}

// Eight deferrable events while the machine waits for its serial write: the first seven wait, the
// eighth is dropped (and traced), and the machine goes on normally.
TEST(FsmEventQueue, EighthDeferredEventIsDroppedAndTraced) {
    LinkFixture f;
    f.WaitBusFree();
    ASSERT_EQ(f.link.AcceptWriteRequest(), STATUS_PENDING);
    ASSERT_EQ(f.State(), MasterState::STATE_TRANSMITTING);
    const uint8_t waiting[] = {EVT_BG_TIMEOUT, EVT_Q_TIMEOUT,  EVT_BA_TIMEOUT, EVT_BG_TIMEOUT,
                               EVT_Q_TIMEOUT,  EVT_BA_TIMEOUT, EVT_XMIT_REQ};
    for (uint8_t e : waiting)
        f.link.FsmMasterProcessEvent(e);
    f.host.ClearRecords();
    f.link.FsmMasterProcessEvent(EVT_BA_TIMEOUT);
    EXPECT_EQ(Entries(f.Queue()), std::vector<uint8_t>(std::begin(waiting), std::end(waiting)));
    EXPECT_TRUE(f.host.Traced(
        "FsmMasterProcessEvent Error: FsmEventQueue is full, EVT_BA_TIMEOUT (0x44) dropped!\n"));

    f.link.SerialWriteCompleted(STATUS_SUCCESS, 10); // WAIT_ACK clears the timer events
    EXPECT_EQ(f.State(), MasterState::STATE_WAIT_ACK);
    EXPECT_EQ(Entries(f.Queue()), std::vector<uint8_t>{EVT_XMIT_REQ});
}

} // namespace
} // namespace zelhart::datalink::test
