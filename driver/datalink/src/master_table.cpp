#include "master_table.h"

#include <array>

namespace zelhart::datalink::detail {
namespace {

// STATE_BUS_RESTART
constexpr FsmRow kBusRestartRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_RCV_MSG_RESTART},
    {EVT_BG_TIMEOUT, Action::none, MasterState::STATE_BUS_FREE},
    {EVT_Q_TIMEOUT, Action::none, MasterState::STATE_BUS_FREE},
    {EVT_RESTART, Action::InitializeForRestartIo, MasterState::STATE_BUS_FREE},
};

// STATE_RCV_MSG_RESTART
constexpr FsmRow kRcvMsgRestartRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::none, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_STX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::init_BG_wait_slave, MasterState::STATE_WAIT_OACK},
    {EVT_RCV_ACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK, Action::init_BG_wait_xmit, MasterState::STATE_MY_BUS},
    {EVT_RCV_OACK_BURST, Action::init_BG_wait_slave_burst_on, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, Action::init_BG_wait_slave_burst_on, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_OBACK, Action::init_BG_wait_xmit_burst_on, MasterState::STATE_BURST_MY_BUS},
    {EVT_GOT_ERR, Action::none, MasterState::STATE_BUS_RESTART},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_MY_BUS
constexpr FsmRow kMyBusRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_REQ, Action::transmit, MasterState::STATE_TRANSMITTING},
    {EVT_BA_TIMEOUT, Action::missed_window, MasterState::STATE_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_TRANSMITTING
constexpr FsmRow kTransmittingRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_DONE, Action::init_BG_wait_slave_xmit, MasterState::STATE_WAIT_ACK},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BUS_FREE
constexpr FsmRow kBusFreeRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_RCV_MSG_OSTX},
    {EVT_XMIT_REQ, Action::transmit, MasterState::STATE_TRANSMITTING},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_WAIT_ACK
constexpr FsmRow kWaitAckRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::InitTimeout, MasterState::STATE_RCV_MSG_ACK},
    {EVT_BG_TIMEOUT, Action::init_BG_noresp_wait_pri, MasterState::STATE_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_RCV_MSG_ACK
constexpr FsmRow kRcvMsgAckRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_STX, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK, Action::init_BG_wait_req_xmit_conf, MasterState::STATE_BUS_BUSY},
    {EVT_RCV_ACK_BURST, Action::init_BG_wait_slave_burst_on_xmit_conf, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_OACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_BACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OBACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_GOT_ERR, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::preamble_overflow, MasterState::STATE_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
    {EVT_BG_TIMEOUT, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
};

// STATE_BUS_BUSY
constexpr FsmRow kBusBusyRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_RCV_MSG_OSTX},
    {EVT_BG_TIMEOUT, Action::none, MasterState::STATE_BUS_FREE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_RCV_MSG_OSTX
constexpr FsmRow kRcvMsgOstxRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::set_BG_timeout, MasterState::STATE_BUS_BUSY},
    {EVT_RCV_STX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::init_BG_wait_slave, MasterState::STATE_WAIT_OACK},
    {EVT_RCV_ACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_BACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OBACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_GOT_ERR, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::none, MasterState::STATE_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_WAIT_OACK
constexpr FsmRow kWaitOackRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_RCV_MSG_OACK},
    {EVT_BG_TIMEOUT, Action::init_BG_wait_pri, MasterState::STATE_BUS_BUSY},
    {EVT_SUSPEND, Action::restart_timers, MasterState::STATE_BUS_RESTART},
};

// STATE_RCV_MSG_OACK
constexpr FsmRow kRcvMsgOackRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::set_BG_timeout, MasterState::STATE_WAIT_OACK},
    {EVT_RCV_STX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK, Action::init_BG_wait_xmit, MasterState::STATE_MY_BUS},
    {EVT_RCV_OACK_BURST, Action::init_BG_wait_slave_burst_on, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OBACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_GOT_ERR, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::none, MasterState::STATE_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_TOO_MANY_PRE
constexpr FsmRow kTooManyPreRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_REQ, Action::transmit, MasterState::STATE_TRANSMITTING},
    {EVT_INV_SOM, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_MY_BUS
constexpr FsmRow kBurstMyBusRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_REQ, Action::transmit, MasterState::STATE_BURST_TRANSMITTING},
    {EVT_BA_TIMEOUT, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_TRANSMITTING
constexpr FsmRow kBurstTransmittingRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_DONE, Action::init_BG_wait_slave_xmit, MasterState::STATE_BURST_WAIT_ACK},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_WAIT_ACK
constexpr FsmRow kBurstWaitAckRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_BURST_RCV_MSG_ACK},
    {EVT_BG_TIMEOUT, Action::init_BG_noresp_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_RCV_MSG_ACK
constexpr FsmRow kBurstRcvMsgAckRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::none, MasterState::STATE_BURST_WAIT_ACK},
    {EVT_RCV_STX, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK, Action::activate_match_xmit_conf, MasterState::STATE_BURST_PENDING_ACK},
    {EVT_RCV_ACK_BURST, Action::init_BG_wait_slave_xmit_conf, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_OACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_BACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OBACK, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_GOT_ERR, Action::restart_timers_ACK_err, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::preamble_overflow, MasterState::STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_BUS_BUSY
constexpr FsmRow kBurstBusBusyRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_BURST_RCV_MSG},
    {EVT_BG_TIMEOUT, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_RCV_MSG
constexpr FsmRow kBurstRcvMsgRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::none, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_STX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::init_BG_wait_slave, MasterState::STATE_BURST_WAIT_OACK},
    {EVT_RCV_ACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_BACK, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_OBACK, Action::init_BG_wait_xmit, MasterState::STATE_BURST_MY_BUS},
    {EVT_GOT_ERR, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::none, MasterState::STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_WAIT_OACK
constexpr FsmRow kBurstWaitOackRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_VAL_PRE, Action::none, MasterState::STATE_BURST_RCV_MSG_OACK},
    {EVT_BG_TIMEOUT, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_RCV_MSG_OACK
constexpr FsmRow kBurstRcvMsgOackRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_INV_SOM, Action::none, MasterState::STATE_BURST_WAIT_OACK},
    {EVT_RCV_STX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OSTX, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OACK, Action::none, MasterState::STATE_BURST_PENDING_OACK},
    {EVT_RCV_OACK_BURST, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_RCV_OBACK, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_GOT_ERR, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, Action::none, MasterState::STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_PENDING_ACK
constexpr FsmRow kBurstPendingAckRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_BURST_MATCH, Action::init_BG_wait_req, MasterState::STATE_BUS_BUSY},
    {EVT_BURST_OTHER, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_PENDING_OACK
constexpr FsmRow kBurstPendingOackRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_BURST_MATCH, Action::init_BG_wait_xmit, MasterState::STATE_MY_BUS},
    {EVT_BURST_OTHER, Action::init_BG_wait_slave, MasterState::STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};

// STATE_BURST_TOO_MANY_PRE
constexpr FsmRow kBurstTooManyPreRows[] = {
    {EVT_STARTUP, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_XMIT_REQ, Action::transmit, MasterState::STATE_BURST_TRANSMITTING},
    {EVT_INV_SOM, Action::restart_timers, MasterState::STATE_BUS_RESTART},
    {EVT_SUSPEND, Action::CleanupForSuspendIo, MasterState::STATE_BUS_RESTART},
};
struct StateRows {
    MasterState State;
    std::span<const FsmRow> Rows;
};

constexpr std::array<StateRows, kMasterStateCount> kRowsByState = {{
    {MasterState::STATE_BUS_RESTART, kBusRestartRows},
    {MasterState::STATE_RCV_MSG_RESTART, kRcvMsgRestartRows},
    {MasterState::STATE_BUS_FREE, kBusFreeRows},
    {MasterState::STATE_BUS_BUSY, kBusBusyRows},
    {MasterState::STATE_RCV_MSG_OSTX, kRcvMsgOstxRows},
    {MasterState::STATE_WAIT_OACK, kWaitOackRows},
    {MasterState::STATE_RCV_MSG_OACK, kRcvMsgOackRows},
    {MasterState::STATE_MY_BUS, kMyBusRows},
    {MasterState::STATE_TRANSMITTING, kTransmittingRows},
    {MasterState::STATE_WAIT_ACK, kWaitAckRows},
    {MasterState::STATE_RCV_MSG_ACK, kRcvMsgAckRows},
    {MasterState::STATE_TOO_MANY_PRE, kTooManyPreRows},
    {MasterState::STATE_BURST_MY_BUS, kBurstMyBusRows},
    {MasterState::STATE_BURST_TRANSMITTING, kBurstTransmittingRows},
    {MasterState::STATE_BURST_WAIT_ACK, kBurstWaitAckRows},
    {MasterState::STATE_BURST_RCV_MSG_ACK, kBurstRcvMsgAckRows},
    {MasterState::STATE_BURST_BUS_BUSY, kBurstBusBusyRows},
    {MasterState::STATE_BURST_RCV_MSG, kBurstRcvMsgRows},
    {MasterState::STATE_BURST_WAIT_OACK, kBurstWaitOackRows},
    {MasterState::STATE_BURST_RCV_MSG_OACK, kBurstRcvMsgOackRows},
    {MasterState::STATE_BURST_PENDING_ACK, kBurstPendingAckRows},
    {MasterState::STATE_BURST_PENDING_OACK, kBurstPendingOackRows},
    {MasterState::STATE_BURST_TOO_MANY_PRE, kBurstTooManyPreRows},
}};

// The tables are indexed by state value.
constexpr bool IndexedByState() {
    for (size_t i = 0; i < kRowsByState.size(); ++i) {
        if (static_cast<size_t>(kRowsByState[i].State) != i) return false;
    }
    return true;
}
static_assert(IndexedByState());

} // namespace

std::span<const FsmRow> MasterStateRows(MasterState state) {
    const auto index = static_cast<size_t>(state);
    if (index >= kRowsByState.size()) return {};
    return kRowsByState[index].Rows;
}

// clang-format off
const char* ActionName(Action action) {
    switch (action) {
    case Action::none: return "none";
    case Action::restart_timers: return "restart_timers";
    case Action::restart_timers_ACK_err: return "restart_timers_ACK_err";
    case Action::CleanupForSuspendIo: return "CleanupForSuspendIo";
    case Action::InitializeForRestartIo: return "InitializeForRestartIo";
    case Action::init_BG_wait_slave: return "init_BG_wait_slave";
    case Action::init_BG_wait_slave_xmit: return "init_BG_wait_slave_xmit";
    case Action::init_BG_noresp_wait_slave: return "init_BG_noresp_wait_slave";
    case Action::init_BG_wait_slave_burst_on: return "init_BG_wait_slave_burst_on";
    case Action::init_BG_wait_xmit: return "init_BG_wait_xmit";
    case Action::init_BG_wait_xmit_burst_on: return "init_BG_wait_xmit_burst_on";
    case Action::init_BG_wait_req: return "init_BG_wait_req";
    case Action::init_BG_wait_pri: return "init_BG_wait_pri";
    case Action::init_BG_noresp_wait_pri: return "init_BG_noresp_wait_pri";
    case Action::set_BG_timeout: return "set_BG_timeout";
    case Action::missed_window: return "missed_window";
    case Action::InitTimeout: return "InitTimeout";
    case Action::transmit: return "transmit";
    case Action::preamble_overflow: return "preamble_overflow";
    case Action::init_BG_wait_slave_xmit_conf: return "init_BG_wait_slave_xmit_conf";
    case Action::init_BG_wait_slave_burst_on_xmit_conf: return "init_BG_wait_slave_burst_on_xmit_conf";
    case Action::init_BG_wait_req_xmit_conf: return "init_BG_wait_req_xmit_conf";
    case Action::activate_match_xmit_conf: return "activate_match_xmit_conf";
    }
    return "?";
}
// clang-format on

} // namespace zelhart::datalink::detail
