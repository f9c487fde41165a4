// The transition table of the master state machine: one constant table of (event, action, next
// state) rows per state, searched in order; the first row whose event equals the event wins.
#pragma once

#include "zelhart/datalink/events.h"

#include <cstdint>
#include <span>

namespace zelhart::datalink::detail {

enum class Action : uint8_t {
    none,
    restart_timers,
    restart_timers_ACK_err,
    CleanupForSuspendIo,
    InitializeForRestartIo,
    init_BG_wait_slave,
    init_BG_wait_slave_xmit,
    init_BG_noresp_wait_slave,
    init_BG_wait_slave_burst_on,
    init_BG_wait_xmit,
    init_BG_wait_xmit_burst_on,
    init_BG_wait_req,
    init_BG_wait_pri,
    init_BG_noresp_wait_pri,
    set_BG_timeout,
    missed_window,
    InitTimeout,
    transmit,
    preamble_overflow,
    init_BG_wait_slave_xmit_conf,
    init_BG_wait_slave_burst_on_xmit_conf,
    init_BG_wait_req_xmit_conf,
    activate_match_xmit_conf,
};

const char* ActionName(Action action);

struct FsmRow {
    uint8_t Event;
    Action Act;
    MasterState Next;
};

// The rows of one state, in search order (empty for a value outside the 23 states).
std::span<const FsmRow> MasterStateRows(MasterState state);

} // namespace zelhart::datalink::detail
