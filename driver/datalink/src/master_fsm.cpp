// The master state machine: table search, deferral and replay of events, and the actions of the rows.
#include "master_table.h"
#include "zelhart/datalink/hart_data_link.h"

#include <algorithm>

namespace zelhart::datalink {
namespace {

// Timing sums stay in range whatever the tunables hold.
uint16_t AddTicks(uint16_t a, int b) {
    return static_cast<uint16_t>(std::min(static_cast<int>(a) + b, 0xFFFF));
}

} // namespace

const detail::FsmRow* HartDataLink::FindRow(MasterState state, uint8_t event) const {
    for (const FsmRow& row : detail::MasterStateRows(state)) {
        if (row.Event == event) return &row;
    }
    return nullptr;
}

void HartDataLink::FsmMasterProcessEvent(uint8_t event) {
    const FsmRow* row = FindRow(ctx_.CurrentMasterState, event);
    if (row == nullptr) {
        // Timer events and transmit requests wait for a state that takes them; the rest is dropped.
        if ((event & kDeferrableEventBits) != 0) AppendEvent(event);
        return;
    }
    RunRow(*row);
    DrainEventQueue();
}

void HartDataLink::RunRow(const FsmRow& row) {
    ctx_.CurrentMasterState = row.Next; // actions see the new state
    RunAction(row.Act);
    const char* name = MasterStateName(row.Next);
    Trace(kTraceMasterState, "%s\n", name);
    if (row.Next == MasterState::STATE_BUS_RESTART) host_.DebugPrint("STATE_BUS_RESTART\n");
}

// Replays deferred events: the first queued entry the current state accepts is taken out and run,
// then the scan starts again from the front. Entries no state takes yet stay in arrival order.
void HartDataLink::DrainEventQueue() {
    for (;;) {
        const FsmRow* row = nullptr;
        size_t index = 0;
        for (; index < FsmEventQueue::kCapacity && ctx_.EventQueue[index] != 0; ++index) {
            row = FindRow(ctx_.CurrentMasterState, ctx_.EventQueue[index]);
            if (row != nullptr) break;
        }
        if (row == nullptr) return;
        ctx_.EventQueue.RemoveAt(static_cast<int>(index));
        RunRow(*row);
    }
}

void HartDataLink::AppendEvent(uint8_t event) {
    if (!ctx_.EventQueue.Append(event)) {
        Trace(kTraceError, "%s Error: FsmEventQueue is full, %s (0x%02X) dropped!\n", "FsmMasterProcessEvent",
              MasterEventName(event), event);
    }
}

void HartDataLink::RunAction(Action action) {
    if (action == Action::none) return;
    const DataLinkTimings& t = ctx_.Timings;
    Trace(action == Action::InitTimeout ? kTraceEntry | kTraceMasterState : kTraceEntry, "%s >>>> \n",
          detail::ActionName(action));
    switch (action) {
    case Action::none:
        break;
    case Action::restart_timers:
        restart_timers(t.BGTIMESTART);
        break;
    case Action::restart_timers_ACK_err:
        HartMasterFailTransmit();
        restart_timers(t.BGTIMEERROR);
        break;
    case Action::CleanupForSuspendIo:
        CleanupForSuspendIo();
        break;
    case Action::InitializeForRestartIo:
        host_.EnqueueWorkItemTriggerTx();
        break;
    case Action::init_BG_wait_slave:
        init_BG_wait_slave(t.RT1PRIMARY);
        break;
    case Action::init_BG_wait_slave_xmit:
        init_BG_wait_slave(AddTicks(t.RT1PRIMARY, kQuietTimeMargin));
        break;
    case Action::init_BG_noresp_wait_slave:
        HartMasterFailTransmit();
        init_BG_wait_slave(t.RT1PRIMARY);
        break;
    case Action::init_BG_wait_slave_burst_on:
        init_BG_wait_slave(t.RT1PRIMARY);
        ctx_.BurstAddress = ctx_.ProtocolInfo.Address;
        break;
    case Action::init_BG_wait_xmit:
        init_BG_wait_xmit();
        break;
    case Action::init_BG_wait_xmit_burst_on:
        init_BG_wait_xmit();
        ctx_.BurstAddress = ctx_.ProtocolInfo.Address;
        break;
    case Action::init_BG_wait_req:
        init_BG_wait_slave(t.RT2);
        break;
    case Action::init_BG_wait_pri:
        init_BG_wait_pri();
        break;
    case Action::init_BG_noresp_wait_pri:
        HartMasterFailTransmit();
        init_BG_wait_pri();
        break;
    case Action::set_BG_timeout:
        if (ctx_.Timers.BG == 0) AppendEvent(EVT_BG_TIMEOUT);
        break;
    case Action::missed_window:
        init_BG_wait_slave(t.MISSEDTRANSMITWINDOW);
        break;
    case Action::InitTimeout:
        ctx_.Timers.Q = 0;
        ctx_.Timers.BA = 0;
        ctx_.Timers.BG = kReplyReceptionLimit;
        break;
    case Action::transmit:
        transmit();
        break;
    case Action::preamble_overflow:
        HartMasterFailTransmit();
        break;
    case Action::init_BG_wait_slave_xmit_conf:
        RunAction(Action::init_BG_wait_slave_xmit);
        xmit_confirm();
        break;
    case Action::init_BG_wait_slave_burst_on_xmit_conf:
        RunAction(Action::init_BG_wait_slave_burst_on);
        xmit_confirm();
        break;
    case Action::init_BG_wait_req_xmit_conf:
        RunAction(Action::init_BG_wait_req);
        xmit_confirm();
        break;
    case Action::activate_match_xmit_conf:
        xmit_confirm();
        break;
    }
}

// Bus restart: the bus is busy for bg ticks unless Q ticks of silence free it first.
void HartDataLink::restart_timers(uint16_t bg) {
    ctx_.Timers.BA = 0;
    ClearTimerEvents();
    ctx_.Timers.Restart = 0;
    ctx_.Timers.BG = bg;
    ctx_.Timers.Q = AddTicks(ctx_.Timings.QUIETTIME, kQuietTimeMargin);
}

// Wait bg ticks for the bus (a slave's reply, the other master's turn).
void HartDataLink::init_BG_wait_slave(uint16_t bg) {
    ctx_.Timers.Q = 0;
    ctx_.Timers.BA = 0;
    ClearTimerEvents();
    ctx_.Timers.BG = bg;
}

// This master's transmit window: HOLD ticks.
void HartDataLink::init_BG_wait_xmit() {
    ctx_.Timers.BG = 0;
    ctx_.Timers.Q = 0;
    ClearTimerEvents();
    ctx_.Timers.BA = ctx_.Timings.HOLD;
}

// Wait RT1DIFF before this master may transmit; no wait at all when RT1DIFF is 0.
void HartDataLink::init_BG_wait_pri() {
    init_BG_wait_slave(ctx_.Timings.RT1DIFF);
    if (ctx_.Timings.RT1DIFF == 0) AppendEvent(EVT_BG_TIMEOUT);
}

void HartDataLink::transmit() {
    if (ctx_.WriteRetriesLeftCount == 0) ctx_.WriteRetriesLeftCount = ctx_.ProtocolInfo.RetryCount + 1;
    ResetPortDataReceiverFsm();
    host_.HartWriteDataToSerialPort();
}

void HartDataLink::CleanupForSuspendIo() {
    restart_timers(ctx_.Timings.BGTIMESTART);
    ctx_.RcvPendingCount = 0;
    ctx_.RcvCountdown = 0;
    ctx_.RcvChecksum = 0;
    ctx_.PreambleCount = 0;
    for (RcvBuffer& buffer : ctx_.CommData)
        buffer.fill(0);
    ctx_.RcvReadBuffer = ctx_.RcvBufferStart;
    ctx_.RcvReadPos = 0;
    ctx_.RcvWritePos = 0;
}

// The reply to this master's frame arrived: the write completes with its serial write's result.
void HartDataLink::xmit_confirm() {
    ctx_.WriteRetriesLeftCount = 0;
    if (!ctx_.PendingWriteRequest) return;
    const NTSTATUS status = ctx_.WriteCompletionStatus;
    const uint32_t information = ctx_.WriteCompletionInformation;
    Trace(kTraceDetail, "xmit_confirm Complete PendingWriteRequest Status: %x   Information: %d\n",
          static_cast<unsigned>(status), static_cast<int>(information));
    ForgetPendingWrite();
    host_.CompletePendingWriteRequest(status, information);
}

// One attempt of the pending write failed: send it again when the bus allows, or, after the last
// attempt, complete it with STATUS_TRANSACTION_TIMED_OUT.
void HartDataLink::HartMasterFailTransmit() {
    if (ctx_.WriteRetriesLeftCount <= 0) {
        // No transmission of a write is being counted: there is nothing to retry or complete.
        Trace(kTraceError, "%s Error: no transmission in progress\n", "HartMasterFailTransmit");
        return;
    }
    const int32_t was = ctx_.WriteRetriesLeftCount--;
    if (was != 1) {
        Trace(kTraceDetail, "pDeviceContext->WriteRetriesLeftCount: %d\n", ctx_.WriteRetriesLeftCount);
        ResetPortDataReceiverFsm();
        AppendEvent(EVT_XMIT_REQ);
        return;
    }
    if (!NT_SUCCESS(ctx_.WriteCompletionStatus)) {
        Trace(kTraceError, "%s Error: last transmission failed with Status: 0x%X\n", "HartMasterFailTransmit",
              static_cast<unsigned>(ctx_.WriteCompletionStatus));
    }
    if (!ctx_.PendingWriteRequest) return;
    Trace(kTraceError, "%s Completing Write request with Status STATUS_TRANSACTION_TIMED_OUT\n",
          "HartMasterFailTransmit");
    ForgetPendingWrite();
    host_.CompletePendingWriteRequest(STATUS_TRANSACTION_TIMED_OUT, 0);
    host_.ResumeReception();
}

// The write is over: nothing may transmit for it any more, so its queued retries go too (left
// behind, they would transmit nothing and use up the next write's attempts).
void HartDataLink::ForgetPendingWrite() {
    ctx_.PendingWriteRequest = false;
    ctx_.WriteRetriesLeftCount = 0;
    ClearTransmitRequest();
}

void HartDataLink::CancelPendingWrite(NTSTATUS status) {
    ctx_.WriteRetriesLeftCount = 0;
    if (!ctx_.PendingWriteRequest) return;
    Trace(kTraceDetail, "%s Completing PendingWriteRequest with Status 0x%X\n", "CancelPendingWrite",
          static_cast<unsigned>(status));
    ForgetPendingWrite();
    host_.CompletePendingWriteRequest(status, 0);
}

} // namespace zelhart::datalink
