// Device defaults, the tick, the write and read paths, protocol settings, lifecycle and tracing.
#include "zelhart/datalink/hart_data_link.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zelhart::datalink {
namespace {

// A running countdown is decremented; true when this tick brought it to 0.
bool Expired(uint16_t& countdown) {
    if (countdown == 0) return false;
    return --countdown == 0;
}

constexpr uint16_t kSlaveModeGap = 3;
constexpr uint16_t kSlaveModeRt1Primary = 34;
constexpr uint16_t kSecondaryMasterRt1Diff = 8;
constexpr int kSlaveModeBufferTicks = 265; // receive buffer capacity less 4
constexpr int kMaxCarrierHoldTicks = 1000; // the frame reception limit

} // namespace

HartDataLink::HartDataLink(DataLinkHost& host, const DataLinkTimings& timings) : host_(host) {
    ctx_.Timings = timings;
    FsmMasterProcessEvent(EVT_STARTUP);
}

void HartDataLink::HartEvtTimerFunc() {
    Countdowns& t = ctx_.Timers;
    switch (ctx_.ProtocolInfo.StateMachineMode) {
    case kModeMaster: {
        // A character within the receive gap: the line carries a frame (or what is left of one cut
        // short, a reply still arriving after its wait ended). While a write of this master is
        // pending, Q and BG do not run out then, so that its next attempt never goes on the line over
        // a reply; they run out at the first tick after the line fell silent. (Bounded: a line that
        // never falls silent lets them run out every kMaxCarrierHoldTicks.)
        const bool carrier =
            t.RcvGap != 0 && ctx_.PendingWriteRequest && carrierHeldTicks_ < kMaxCarrierHoldTicks;
        carrierHeldTicks_ = carrier ? carrierHeldTicks_ + 1 : 0;
        auto expired = [carrier](uint16_t& countdown) {
            if (!Expired(countdown)) return false;
            if (!carrier) return true;
            countdown = 1;
            return false;
        };
        if (Expired(t.Restart)) {
            ResetPortDataReceiverFsm();
            FsmMasterProcessEvent(EVT_RESTART);
        }
        if (expired(t.Q)) {
            Trace(kTraceError | kTraceTimeStamp, "EVT_Q_TIMEOUT\n");
            FsmMasterProcessEvent(EVT_Q_TIMEOUT);
        }
        if (expired(t.BG)) {
            Trace(kTraceError | kTraceTimeStamp, "EVT_BG_TIMEOUT\n");
            FsmMasterProcessEvent(EVT_BG_TIMEOUT);
        }
        if (Expired(t.BA)) {
            Trace(kTraceError | kTraceTimeStamp, "EVT_BA_TIMEOUT\n");
            FsmMasterProcessEvent(EVT_BA_TIMEOUT);
        }
        if (Expired(t.RcvGap)) ReceiveGapExpired();
        break;
    }
    case kModeSlave:
        if (Expired(t.SlaveGap)) ResetPortDataReceiverFsm();
        if (Expired(t.RcvGap)) ResetPortDataReceiverFsm();
        break;
    default:
        break;
    }
}

// The line fell silent inside a frame, or after preambles. A frame cut short after its delimiter has
// loaded BG with the frame reception limit (10 s), meant to cover the frame's arrival; in a state that
// takes no EVT_INV_SOM (this master's reply arriving) the state would wait out that limit with the
// write pending. The frame is over, and so is that wait: as for BG expiry while the reply arrives, the
// attempt is used up now.
void HartDataLink::ReceiveGapExpired() {
    const bool frameStarted = ctx_.CurrentReceiverState >= ReceiverState::STATE_RECEIVING_UNTIL_BYTECOUNT;
    const bool unexpected = FindRow(ctx_.CurrentMasterState, EVT_INV_SOM) == nullptr;
    ResetPortDataReceiverFsm();
    FsmMasterProcessEvent(EVT_INV_SOM);
    if (!frameStarted || !unexpected || ctx_.Timers.BG == 0) return;
    if (FindRow(ctx_.CurrentMasterState, EVT_BG_TIMEOUT) == nullptr) return;
    Trace(kTraceDetail, "%s a frame cut short ends the wait of %s\n", "HartEvtTimerFunc",
          MasterStateName(ctx_.CurrentMasterState));
    ctx_.Timers.BG = 0;
    FsmMasterProcessEvent(EVT_BG_TIMEOUT);
}

NTSTATUS HartDataLink::AcceptWriteRequest() {
    if (ctx_.ProtocolInfo.StateMachineMode != kModeMaster) return STATUS_NOT_SUPPORTED;
    if (ctx_.PendingWriteRequest) return STATUS_DEVICE_BUSY;
    ctx_.PendingWriteRequest = true;
    ctx_.WriteCompletionStatus = STATUS_SUCCESS;
    ctx_.WriteCompletionInformation = 0;
    FsmMasterProcessEvent(EVT_XMIT_REQ);
    return STATUS_PENDING;
}

void HartDataLink::SerialWriteCompleted(NTSTATUS status, uint32_t bytesWritten) {
    ctx_.WriteCompletionStatus = status;
    ctx_.WriteCompletionInformation = bytesWritten;
    if (ctx_.ProtocolInfo.StateMachineMode != kModeMaster) return;
    ctx_.Timers.BG = kPostTransmissionBg;
    FsmMasterProcessEvent(EVT_XMIT_DONE);
}

HartDataLink::FrameCopy HartDataLink::ReadDeliveredFrame(std::span<uint8_t> out) {
    FrameCopy copy;
    if (ctx_.RcvPendingCount == 0) return copy;
    const size_t start = std::min<size_t>(ctx_.RcvReadPos, kRcvBufferSize);
    const size_t available = std::min<size_t>(ctx_.RcvPendingCount, kRcvBufferSize - start);
    copy.Bytes = std::min(available, out.size());
    copy.Status = ctx_.RcvDeliveredStatus;
    std::memcpy(out.data(), ctx_.CommData[ctx_.RcvReadBuffer].data() + start, copy.Bytes);
    ctx_.RcvReadPos = static_cast<uint16_t>(start + copy.Bytes);
    ctx_.RcvPendingCount = static_cast<uint32_t>(available - copy.Bytes);
    return copy;
}

HartDataLink::FrameCopy HartDataLink::TakeDeliveredFrame(std::span<uint8_t> out) {
    const FrameCopy copy = ReadDeliveredFrame(out);
    ctx_.RcvPendingCount = 0;
    return copy;
}

void HartDataLink::SetProtocol(const ProtocolSettings& settings) {
    HartProtocolInfo& info = ctx_.ProtocolInfo;
    if ((settings.MasterType & 0x7F) == 0) info.MasterType = settings.MasterType;
    info.RetryCount = settings.RetryCount;
    Trace(kTraceDetail, "pDeviceContext->HartProtocolInfo.MasterType: 0x%02X\n", info.MasterType);
    Trace(kTraceDetail, "pDeviceContext->HartProtocolInfo.RetryCount: 0x%02X\n", info.RetryCount);
    if (info.StateMachineMode != kModeMaster) {
        ctx_.Timings.GAP = kSlaveModeGap;
        return;
    }
    Trace(kTraceDetail, "pDeviceContext->HartProtocolInfo.StateMachineMode: 0x%04x\n",
          settings.StateMachineMode);
    if (settings.StateMachineMode != kModeSlave) return;

    info.StateMachineMode = kModeSlave;
    DataLinkTimings& t = ctx_.Timings;
    t.RT1DIFF = (info.MasterType & 0x80) != 0 ? 0 : kSecondaryMasterRt1Diff;
    t.RT1PRIMARY = kSlaveModeRt1Primary;
    t.GAP = kSlaveModeGap;
    t.QUIETTIME = static_cast<uint16_t>(kSlaveModeRt1Primary + t.RT1DIFF);
    t.BGTIMEERROR = static_cast<uint16_t>(kSlaveModeBufferTicks + t.QUIETTIME - 1);
    t.BGTIMESTART = static_cast<uint16_t>(kSlaveModeBufferTicks + t.QUIETTIME + 1);
    // Nothing is ever transmitted in slave mode: a write still pending cannot end any other way.
    CancelPendingWrite(STATUS_CANCELLED);
    ResetPortDataReceiverFsm();
    FsmMasterProcessEvent(EVT_STARTUP);
}

ProtocolSettings HartDataLink::GetProtocol() const {
    const HartProtocolInfo& info = ctx_.ProtocolInfo;
    return {info.StateMachineMode, info.MasterType, info.RetryCount};
}

void HartDataLink::OnOpen() {
    FsmMasterProcessEvent(EVT_STARTUP);
    ResetPortDataReceiverFsm();
}

void HartDataLink::OnCleanupOrClose() {
    Countdowns& t = ctx_.Timers;
    t.SlaveGap = 0;
    t.Q = 0;
    t.BA = 0;
    t.BG = 0;
    if (ctx_.ProtocolInfo.StateMachineMode == kModeMaster) ClearTransmitRequest();
    // With the handle gone nobody waits for the write and no port will carry it.
    CancelPendingWrite(STATUS_CANCELLED);
    ResetPortDataReceiverFsm();
    FsmMasterProcessEvent(EVT_STARTUP);
}

void HartDataLink::OnPortRemoved() {
    ResetPortDataReceiverFsm();
    FsmMasterProcessEvent(EVT_STARTUP);
    CancelPendingWrite(STATUS_CANCELLED);
}

void HartDataLink::OnSuspend() {
    ResetPortDataReceiverFsm();
    FsmMasterProcessEvent(EVT_SUSPEND);
}

void HartDataLink::OnResume() {
    Countdowns& t = ctx_.Timers;
    t.BA = 0;
    ClearTimerEvents();
    t.BG = 0;
    t.Q = 0;
    t.Restart = kRestartDelay;
}

void HartDataLink::Trace(uint32_t mask, const char* format, ...) {
    if (!host_.TraceEnabled(mask)) return;
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return;
    host_.Trace(mask, std::string_view(line, std::min(static_cast<size_t>(n), sizeof line - 1)));
}

} // namespace zelhart::datalink
