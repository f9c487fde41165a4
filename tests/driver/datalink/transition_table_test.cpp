// The master state machine's transition table, row by row: from each state, each listed event leads to
// the listed state through the listed action; every other event is deferred (bits 0x48) or dropped.
// The expected table is written out here as documented, independently of the production tables.
#include "link_fixture.h"
#include "test_access.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::datalink::test {
namespace {

constexpr std::string_view kTransitionTable = R"(
STATE_BUS_RESTART        EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BUS_RESTART        EVT_VAL_PRE        STATE_RCV_MSG_RESTART    none
STATE_BUS_RESTART        EVT_BG_TIMEOUT     STATE_BUS_FREE           none
STATE_BUS_RESTART        EVT_Q_TIMEOUT      STATE_BUS_FREE           none
STATE_BUS_RESTART        EVT_RESTART        STATE_BUS_FREE           InitializeForRestartIo
STATE_RCV_MSG_RESTART    EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_RESTART    EVT_INV_SOM        STATE_BUS_RESTART        none
STATE_RCV_MSG_RESTART    EVT_RCV_STX        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_RESTART    EVT_RCV_OSTX       STATE_WAIT_OACK          init_BG_wait_slave
STATE_RCV_MSG_RESTART    EVT_RCV_ACK        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_RESTART    EVT_RCV_ACK_BURST  STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_RESTART    EVT_RCV_OACK       STATE_MY_BUS             init_BG_wait_xmit
STATE_RCV_MSG_RESTART    EVT_RCV_OACK_BURST STATE_BURST_BUS_BUSY     init_BG_wait_slave_burst_on
STATE_RCV_MSG_RESTART    EVT_RCV_BACK       STATE_BURST_BUS_BUSY     init_BG_wait_slave_burst_on
STATE_RCV_MSG_RESTART    EVT_RCV_OBACK      STATE_BURST_MY_BUS       init_BG_wait_xmit_burst_on
STATE_RCV_MSG_RESTART    EVT_GOT_ERR        STATE_BUS_RESTART        none
STATE_RCV_MSG_RESTART    EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_MY_BUS             EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_MY_BUS             EVT_XMIT_REQ       STATE_TRANSMITTING       transmit
STATE_MY_BUS             EVT_BA_TIMEOUT     STATE_BUS_BUSY           missed_window
STATE_MY_BUS             EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_TRANSMITTING       EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_TRANSMITTING       EVT_XMIT_DONE      STATE_WAIT_ACK           init_BG_wait_slave_xmit
STATE_TRANSMITTING       EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BUS_FREE           EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BUS_FREE           EVT_VAL_PRE        STATE_RCV_MSG_OSTX       none
STATE_BUS_FREE           EVT_XMIT_REQ       STATE_TRANSMITTING       transmit
STATE_BUS_FREE           EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_WAIT_ACK           EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_WAIT_ACK           EVT_VAL_PRE        STATE_RCV_MSG_ACK        InitTimeout
STATE_WAIT_ACK           EVT_BG_TIMEOUT     STATE_BUS_BUSY           init_BG_noresp_wait_pri
STATE_WAIT_ACK           EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_RCV_MSG_ACK        EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_ACK        EVT_RCV_STX        STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_RCV_OSTX       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_RCV_ACK        STATE_BUS_BUSY           init_BG_wait_req_xmit_conf
STATE_RCV_MSG_ACK        EVT_RCV_ACK_BURST  STATE_BURST_BUS_BUSY     init_BG_wait_slave_burst_on_xmit_conf
STATE_RCV_MSG_ACK        EVT_RCV_OACK       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_RCV_OACK_BURST STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_RCV_BACK       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_RCV_OBACK      STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers_ACK_err
STATE_RCV_MSG_ACK        EVT_TOO_MANY_PRE   STATE_TOO_MANY_PRE       preamble_overflow
STATE_RCV_MSG_ACK        EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_RCV_MSG_ACK        EVT_BG_TIMEOUT     STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BUS_BUSY           EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BUS_BUSY           EVT_VAL_PRE        STATE_RCV_MSG_OSTX       none
STATE_BUS_BUSY           EVT_BG_TIMEOUT     STATE_BUS_FREE           none
STATE_BUS_BUSY           EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_RCV_MSG_OSTX       EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_INV_SOM        STATE_BUS_BUSY           set_BG_timeout
STATE_RCV_MSG_OSTX       EVT_RCV_STX        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_OSTX       STATE_WAIT_OACK          init_BG_wait_slave
STATE_RCV_MSG_OSTX       EVT_RCV_ACK        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_ACK_BURST  STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_OACK       STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_OACK_BURST STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_BACK       STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_RCV_OBACK      STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OSTX       EVT_TOO_MANY_PRE   STATE_TOO_MANY_PRE       none
STATE_RCV_MSG_OSTX       EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_WAIT_OACK          EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_WAIT_OACK          EVT_VAL_PRE        STATE_RCV_MSG_OACK       none
STATE_WAIT_OACK          EVT_BG_TIMEOUT     STATE_BUS_BUSY           init_BG_wait_pri
STATE_WAIT_OACK          EVT_SUSPEND        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_INV_SOM        STATE_WAIT_OACK          set_BG_timeout
STATE_RCV_MSG_OACK       EVT_RCV_STX        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_RCV_OSTX       STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_RCV_ACK        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_RCV_ACK_BURST  STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_RCV_OACK       STATE_MY_BUS             init_BG_wait_xmit
STATE_RCV_MSG_OACK       EVT_RCV_OACK_BURST STATE_BURST_BUS_BUSY     init_BG_wait_slave_burst_on
STATE_RCV_MSG_OACK       EVT_RCV_BACK       STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_RCV_OBACK      STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers
STATE_RCV_MSG_OACK       EVT_TOO_MANY_PRE   STATE_TOO_MANY_PRE       none
STATE_RCV_MSG_OACK       EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_TOO_MANY_PRE       EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_TOO_MANY_PRE       EVT_XMIT_REQ       STATE_TRANSMITTING       transmit
STATE_TOO_MANY_PRE       EVT_INV_SOM        STATE_BUS_RESTART        restart_timers
STATE_TOO_MANY_PRE       EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_MY_BUS       EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_MY_BUS       EVT_XMIT_REQ       STATE_BURST_TRANSMITTING transmit
STATE_BURST_MY_BUS       EVT_BA_TIMEOUT     STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_MY_BUS       EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_TRANSMITTING EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_TRANSMITTING EVT_XMIT_DONE      STATE_BURST_WAIT_ACK     init_BG_wait_slave_xmit
STATE_BURST_TRANSMITTING EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_WAIT_ACK     EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_WAIT_ACK     EVT_VAL_PRE        STATE_BURST_RCV_MSG_ACK  none
STATE_BURST_WAIT_ACK     EVT_BG_TIMEOUT     STATE_BURST_BUS_BUSY     init_BG_noresp_wait_slave
STATE_BURST_WAIT_ACK     EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_RCV_MSG_ACK  EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_ACK  EVT_INV_SOM        STATE_BURST_WAIT_ACK     none
STATE_BURST_RCV_MSG_ACK  EVT_RCV_STX        STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_RCV_OSTX       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_RCV_ACK        STATE_BURST_PENDING_ACK  activate_match_xmit_conf
STATE_BURST_RCV_MSG_ACK  EVT_RCV_ACK_BURST  STATE_BURST_BUS_BUSY     init_BG_wait_slave_xmit_conf
STATE_BURST_RCV_MSG_ACK  EVT_RCV_OACK       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_RCV_OACK_BURST STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_RCV_BACK       STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_RCV_OBACK      STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers_ACK_err
STATE_BURST_RCV_MSG_ACK  EVT_TOO_MANY_PRE   STATE_BURST_TOO_MANY_PRE preamble_overflow
STATE_BURST_RCV_MSG_ACK  EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_BUS_BUSY     EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_BUS_BUSY     EVT_VAL_PRE        STATE_BURST_RCV_MSG      none
STATE_BURST_BUS_BUSY     EVT_BG_TIMEOUT     STATE_BUS_RESTART        restart_timers
STATE_BURST_BUS_BUSY     EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_RCV_MSG      EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_INV_SOM        STATE_BURST_BUS_BUSY     none
STATE_BURST_RCV_MSG      EVT_RCV_STX        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_RCV_OSTX       STATE_BURST_WAIT_OACK    init_BG_wait_slave
STATE_BURST_RCV_MSG      EVT_RCV_ACK        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_RCV_ACK_BURST  STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_RCV_OACK       STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_RCV_OACK_BURST STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_RCV_BACK       STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_RCV_MSG      EVT_RCV_OBACK      STATE_BURST_MY_BUS       init_BG_wait_xmit
STATE_BURST_RCV_MSG      EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG      EVT_TOO_MANY_PRE   STATE_BURST_TOO_MANY_PRE none
STATE_BURST_RCV_MSG      EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_WAIT_OACK    EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_WAIT_OACK    EVT_VAL_PRE        STATE_BURST_RCV_MSG_OACK none
STATE_BURST_WAIT_OACK    EVT_BG_TIMEOUT     STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_WAIT_OACK    EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_RCV_MSG_OACK EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_INV_SOM        STATE_BURST_WAIT_OACK    none
STATE_BURST_RCV_MSG_OACK EVT_RCV_STX        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_RCV_OSTX       STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_RCV_ACK        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_RCV_ACK_BURST  STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_RCV_OACK       STATE_BURST_PENDING_OACK none
STATE_BURST_RCV_MSG_OACK EVT_RCV_OACK_BURST STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_RCV_MSG_OACK EVT_RCV_BACK       STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_RCV_OBACK      STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_GOT_ERR        STATE_BUS_RESTART        restart_timers
STATE_BURST_RCV_MSG_OACK EVT_TOO_MANY_PRE   STATE_BURST_TOO_MANY_PRE none
STATE_BURST_RCV_MSG_OACK EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_PENDING_ACK  EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_PENDING_ACK  EVT_BURST_MATCH    STATE_BUS_BUSY           init_BG_wait_req
STATE_BURST_PENDING_ACK  EVT_BURST_OTHER    STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_PENDING_ACK  EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_PENDING_OACK EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_PENDING_OACK EVT_BURST_MATCH    STATE_MY_BUS             init_BG_wait_xmit
STATE_BURST_PENDING_OACK EVT_BURST_OTHER    STATE_BURST_BUS_BUSY     init_BG_wait_slave
STATE_BURST_PENDING_OACK EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
STATE_BURST_TOO_MANY_PRE EVT_STARTUP        STATE_BUS_RESTART        restart_timers
STATE_BURST_TOO_MANY_PRE EVT_XMIT_REQ       STATE_BURST_TRANSMITTING transmit
STATE_BURST_TOO_MANY_PRE EVT_INV_SOM        STATE_BUS_RESTART        restart_timers
STATE_BURST_TOO_MANY_PRE EVT_SUSPEND        STATE_BUS_RESTART        CleanupForSuspendIo
)";

const std::map<std::string, uint8_t> kEventCodes = {
    {"EVT_STARTUP", 0x01},      {"EVT_XMIT_DONE", 0x02},      {"EVT_XMIT_REQ", 0x08},
    {"EVT_GOT_ERR", 0x10},      {"EVT_RCV_BACK", 0x11},       {"EVT_RCV_STX", 0x12},
    {"EVT_INV_SOM", 0x14},      {"EVT_RCV_ACK", 0x16},        {"EVT_RCV_ACK_BURST", 0x17},
    {"EVT_VAL_PRE", 0x20},      {"EVT_BURST_OTHER", 0x22},    {"EVT_BURST_MATCH", 0x24},
    {"EVT_TOO_MANY_PRE", 0x26}, {"EVT_BG_TIMEOUT", 0x41},     {"EVT_Q_TIMEOUT", 0x42},
    {"EVT_BA_TIMEOUT", 0x44},   {"EVT_RCV_OBACK", 0x91},      {"EVT_RCV_OSTX", 0x92},
    {"EVT_RCV_OACK", 0x96},     {"EVT_RCV_OACK_BURST", 0x97}, {"EVT_SUSPEND", 0xA2},
    {"EVT_RESTART", 0xB2},
};

const std::set<std::string> kActionNames = {
    "restart_timers",
    "restart_timers_ACK_err",
    "CleanupForSuspendIo",
    "InitializeForRestartIo",
    "init_BG_wait_slave",
    "init_BG_wait_slave_xmit",
    "init_BG_noresp_wait_slave",
    "init_BG_wait_slave_burst_on",
    "init_BG_wait_xmit",
    "init_BG_wait_xmit_burst_on",
    "init_BG_wait_req",
    "init_BG_wait_pri",
    "init_BG_noresp_wait_pri",
    "set_BG_timeout",
    "missed_window",
    "InitTimeout",
    "transmit",
    "preamble_overflow",
    "init_BG_wait_slave_xmit_conf",
    "init_BG_wait_slave_burst_on_xmit_conf",
    "init_BG_wait_req_xmit_conf",
    "activate_match_xmit_conf",
};

struct Row {
    std::string State, Event, Next, Action;
};

std::vector<Row> ExpectedRows() {
    std::vector<Row> rows;
    std::istringstream in{std::string(kTransitionTable)};
    Row r;
    while (in >> r.State >> r.Event >> r.Next >> r.Action)
        rows.push_back(r);
    return rows;
}

MasterState StateNamed(const std::string& name) {
    for (int i = 0; i < kMasterStateCount; ++i) {
        if (name == MasterStateName(static_cast<MasterState>(i))) return static_cast<MasterState>(i);
    }
    ADD_FAILURE() << "unknown state " << name;
    return MasterState::STATE_BUS_RESTART;
}

// What one event did to a machine resting in a state with an empty queue.
struct Outcome {
    std::string FirstState;  // first state entered ("" when none)
    std::string FirstAction; // action traced before that ("none" when none)
    std::vector<uint8_t> Queue;
};

Outcome Apply(MasterState from, uint8_t event) {
    LinkFixture f;
    DataLinkTestAccess::Ctx(f.link).CurrentMasterState = from;
    DataLinkTestAccess::Ctx(f.link).EventQueue.Clear();
    f.host.ClearRecords();
    f.link.FsmMasterProcessEvent(event);

    Outcome out{"", "none", {}};
    for (const TraceLine& t : f.host.Traces) {
        const std::string& text = t.Text;
        if (t.Mask == kTraceMasterState && text.rfind("STATE_", 0) == 0) {
            out.FirstState = text.substr(0, text.size() - 1);
            break;
        }
        const auto pos = text.find(" >>>> \n");
        if (out.FirstAction == "none" && pos != std::string::npos && pos + 7 == text.size() &&
            kActionNames.count(text.substr(0, pos)) != 0) {
            out.FirstAction = text.substr(0, pos);
        }
    }
    for (size_t i = 0; i < f.Queue().size(); ++i)
        out.Queue.push_back(f.Queue()[i]);
    if (out.FirstState.empty()) {
        EXPECT_EQ(f.State(), from) << "no row ran, yet the state changed";
    }
    return out;
}

TEST(TransitionTable, ExpectedTableCoversEveryStateOnce) {
    const auto rows = ExpectedRows();
    EXPECT_EQ(rows.size(), 153u);
    std::set<std::string> states;
    std::set<std::pair<std::string, std::string>> pairs;
    for (const Row& r : rows) {
        states.insert(r.State);
        EXPECT_TRUE(pairs.insert({r.State, r.Event}).second) << r.State << " lists " << r.Event << " twice";
        EXPECT_EQ(kEventCodes.count(r.Event), 1u) << r.Event;
        EXPECT_TRUE(r.Action == "none" || kActionNames.count(r.Action) == 1) << r.Action;
    }
    EXPECT_EQ(states.size(), static_cast<size_t>(kMasterStateCount));
}

TEST(TransitionTable, EveryListedEventLeadsToItsStateThroughItsAction) {
    for (const Row& r : ExpectedRows()) {
        SCOPED_TRACE(r.State + " + " + r.Event);
        const Outcome out = Apply(StateNamed(r.State), kEventCodes.at(r.Event));
        EXPECT_EQ(out.FirstState, r.Next);
        EXPECT_EQ(out.FirstAction, r.Action);
        for (uint8_t queued : out.Queue)
            EXPECT_NE(queued, kEventCodes.at(r.Event)) << "accepted yet deferred";
    }
}

TEST(TransitionTable, UnlistedEventsAreDeferredWhenTimerOrTransmitRequestElseDropped) {
    std::map<std::string, std::set<std::string>> listed;
    for (const Row& r : ExpectedRows())
        listed[r.State].insert(r.Event);
    int checked = 0;
    for (const auto& [state, events] : listed) {
        for (const auto& [name, code] : kEventCodes) {
            if (events.count(name) != 0) continue;
            SCOPED_TRACE(state + " + " + name);
            const Outcome out = Apply(StateNamed(state), code);
            EXPECT_EQ(out.FirstState, "");
            EXPECT_EQ(out.FirstAction, "none");
            const bool deferrable = name == "EVT_XMIT_REQ" || name == "EVT_BG_TIMEOUT" ||
                                    name == "EVT_Q_TIMEOUT" || name == "EVT_BA_TIMEOUT";
            EXPECT_EQ(out.Queue, deferrable ? std::vector<uint8_t>{code} : std::vector<uint8_t>{});
            ++checked;
        }
    }
    EXPECT_EQ(checked, kMasterStateCount * 22 - 153);
}

// A deferred event is replayed as soon as a state accepts it; events nobody takes yet keep their order.
TEST(TransitionTable, DrainReplaysDeferredEventsInArrivalOrder) {
    LinkFixture f;
    f.WaitBusFree();
    f.Feed(WithPreambles(5, Request(0x00))); // the other master's request
    ASSERT_EQ(f.State(), MasterState::STATE_WAIT_OACK);
    f.link.FsmMasterProcessEvent(EVT_XMIT_REQ);   // a write, deferred
    f.link.FsmMasterProcessEvent(EVT_BA_TIMEOUT); // a stale window timer, deferred as well
    ASSERT_EQ(f.Queue().size(), 2u);
    EXPECT_EQ(f.Queue()[0], EVT_XMIT_REQ);
    EXPECT_EQ(f.host.Transmissions, 0);

    f.host.ClearRecords();
    f.Feed(WithPreambles(5, Reply(0x00))); // its slave's reply opens this master's window
    // MY_BUS took the transmit request first (the BA timeout behind it waits), then transmitted.
    EXPECT_EQ(f.host.StatesEntered(),
              (std::vector<std::string>{"STATE_RCV_MSG_OACK", "STATE_MY_BUS", "STATE_TRANSMITTING"}));
    EXPECT_EQ(f.host.Transmissions, 1);
    ASSERT_EQ(f.Queue().size(), 0u) << "init_BG_wait_xmit clears timer events before the replay";
}

TEST(TransitionTable, BusRestartEntryIsAlwaysPrinted) {
    LinkFixture f;
    f.host.TraceMaskEnabled = 0; // DebugLevel 0
    f.WaitBusFree();
    f.host.ClearRecords();
    f.link.FsmMasterProcessEvent(EVT_STARTUP);
    EXPECT_TRUE(f.host.Traces.empty());
    EXPECT_EQ(f.host.DebugLines, std::vector<std::string>{"STATE_BUS_RESTART\n"});
}

} // namespace
} // namespace zelhart::datalink::test
