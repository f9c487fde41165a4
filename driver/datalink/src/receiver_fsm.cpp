// The receiver: preamble recognition, start of message, header and data sections, checksum, frame
// validation and the hand-over of a frame to readers. One byte per call, no allocation.
#include "zelhart/datalink/hart_data_link.h"

#include <algorithm>

namespace zelhart::datalink {
namespace {

constexpr int kMinPreambles = 2;
constexpr uint8_t kExpansionBits = 0x60;
constexpr uint8_t kLongAddressBit = 0x80;
constexpr uint8_t kMasterAddressBit = 0x80;
constexpr uint8_t kBurstAddressBit = 0x40;

// Bytes after the delimiter up to and including the byte count, or 0 for an invalid delimiter.
int HeaderCount(uint8_t delimiter) {
    const int expansion = (delimiter & kExpansionBits) >> 5;
    switch (delimiter & 0x9F) {
    case 0x02:
    case 0x06:
        return 3 + expansion;
    case 0x81:
    case 0x82:
    case 0x86:
        return 7 + expansion;
    default:
        return 0;
    }
}

struct ClassRoute {
    uint8_t Event;
    uint8_t DeliveryBit;
};

ClassRoute RouteOf(uint8_t frameClass, bool burst) {
    switch (frameClass) {
    case 0x01:
        return {EVT_RCV_BACK, 0x01};
    case 0x02:
        return {EVT_RCV_STX, 0x04};
    case 0x06:
        return {burst ? EVT_RCV_ACK_BURST : EVT_RCV_ACK, 0x02};
    case 0x81:
        return {EVT_RCV_OBACK, 0x10};
    case 0x82:
        return {EVT_RCV_OSTX, 0x40};
    case 0x86:
        return {burst ? EVT_RCV_OACK_BURST : EVT_RCV_OACK, 0x20};
    default:
        return {0, 0};
    }
}

} // namespace

void HartDataLink::HartPortDataReceiverFsmProcessReceivedCharacter(uint8_t c, NTSTATUS status) {
    ctx_.RcvChecksum ^= c;
    ctx_.Timers.RcvGap = std::max(ctx_.Timings.GAP, minReceiveGap_);
    switch (ctx_.CurrentReceiverState) {
    case ReceiverState::STATE_WAITING_FOR_PREAMBLE:
        ProcessFirstPreamble(c, status);
        break;
    case ReceiverState::STATE_VALIDATING_PREAMBLE:
        if (c == kPreambleCharacter) {
            ProcessPreamble(status);
        } else if (!ValidateStartOfMessage(c, status)) {
            FailStartOfMessage();
        }
        break;
    case ReceiverState::STATE_RECEIVING_UNTIL_BYTECOUNT:
        ReceiveHeaderByte(c, status);
        break;
    case ReceiverState::STATE_RECEIVING_VALID_DATA:
        ReceiveDataByte(c, status);
        break;
    case ReceiverState::STATE_VALIDATING_MESSAGE:
        ReceiveChecksum(c, status);
        break;
    }
}

void HartDataLink::ResetPortDataReceiverFsm() {
    Trace(kTraceEntry, "%s >>>>>\n", "ResetPortDataReceiverFsm");
    SetReceiverState(ReceiverState::STATE_WAITING_FOR_PREAMBLE);
    ctx_.Timers.RcvGap = 0;
    Trace(kTraceEntry, "%s <<<<<\n", "ResetPortDataReceiverFsm");
}

void HartDataLink::SetReceiverState(ReceiverState next) {
    if (next == ctx_.CurrentReceiverState) return;
    Trace(kTraceReceiver, "Receiver FSM: From %s to %s!\n", ReceiverStateName(ctx_.CurrentReceiverState),
          ReceiverStateName(next));
    ctx_.CurrentReceiverState = next;
}

void HartDataLink::FailStartOfMessage() {
    ResetPortDataReceiverFsm();
    SendEventToOtherFsm(EVT_INV_SOM);
}

void HartDataLink::ProcessFirstPreamble(uint8_t c, NTSTATUS status) {
    if (!NT_SUCCESS(status) || c != kPreambleCharacter) {
        ctx_.PreambleCount = 0;
        Trace(kTraceDetail, "Data != PREAMBLE_CHARACTER  Status != STATUS_SUCCESS\n");
        Trace(kTraceDetail, "ProcessFirstPreamble failed\n");
        return;
    }
    ctx_.PreambleCount = 1;
    ctx_.ProtocolInfo.Delim = kDelimValidPreamble;
    Trace(kTraceDetail, ">>> EVT_VAL_PRE >>>\n");
    SetReceiverState(ReceiverState::STATE_VALIDATING_PREAMBLE);
    SendEventToOtherFsm(EVT_VAL_PRE);
}

void HartDataLink::ProcessPreamble(NTSTATUS status) {
    if (!NT_SUCCESS(status)) {
        Trace(kTraceError, "%s Error: Status in not STATUS_SUCCESS!\n", "ProcessPreamble");
        Trace(kTraceDetail, ">>> EVT_INV_SOM >>>\n");
        FailStartOfMessage();
        return;
    }
    if (++ctx_.PreambleCount > kPreambleLimit) {
        Trace(kTraceError, "%s Error: Preamble count (%d) is above Maximum limit (%d)!\n", "ProcessPreamble",
              ctx_.PreambleCount, kPreambleLimit);
        ResetPortDataReceiverFsm();
        SendEventToOtherFsm(EVT_TOO_MANY_PRE);
        FailStartOfMessage();
    }
}

// The first character after the preambles must be a delimiter this data link knows.
bool HartDataLink::ValidateStartOfMessage(uint8_t c, NTSTATUS status) {
    Trace(kTraceDetail, "%s ReadPortData: 0x%02X\n", "ValidateStartOfMessage", c);
    if (ctx_.PreambleCount < kMinPreambles) {
        Trace(kTraceDetail, ">>> EVT_INV_SOM >>>\n");
        return false;
    }
    if (!NT_SUCCESS(status)) { // a line error on the delimiter is no start of a frame
        Trace(kTraceError, "%s Error: Status in not STATUS_SUCCESS!\n", "ValidateStartOfMessage");
        return false;
    }
    const int header = HeaderCount(c);
    if (header == 0) {
        Trace(kTraceError, "%s attempts to restart ReceiverFsm\n", "ValidateStartOfMessage");
        return false;
    }
    ctx_.RcvChecksum = c;
    ctx_.RcvCountdown = static_cast<uint16_t>(header);
    ctx_.RcvWritePos = 0;
    ctx_.RcvLineError = false;
    StoreReceivedByte(c);
    ctx_.Timers.BG = kFrameReceptionLimit;
    SetReceiverState(ReceiverState::STATE_RECEIVING_UNTIL_BYTECOUNT);
    return true;
}

void HartDataLink::ReceiveHeaderByte(uint8_t c, NTSTATUS status) {
    if (!NT_SUCCESS(status)) {
        Trace(kTraceError, "Receiver FSM: STATE_RECEIVING_UNTIL_BYTECOUNT Status != STATUS_SUCCESS!\n");
        ResetPortDataReceiverFsm();
        SendEventToOtherFsm(EVT_GOT_ERR);
        return;
    }
    StoreReceivedByte(c);
    if (--ctx_.RcvCountdown == 0) { // this was the byte count
        ctx_.RcvCountdown = static_cast<uint16_t>(c + 1);
        SetReceiverState(ReceiverState::STATE_RECEIVING_VALID_DATA);
    }
}

void HartDataLink::ReceiveDataByte(uint8_t c, NTSTATUS status) {
    if (--ctx_.RcvCountdown == 0) { // no data bytes: c is the checksum
        SetReceiverState(ReceiverState::STATE_VALIDATING_MESSAGE);
        ReceiveChecksum(c, status);
        return;
    }
    if (!NT_SUCCESS(status)) ctx_.RcvLineError = true;
    StoreReceivedByte(c);
    if (ctx_.RcvCountdown == 1) SetReceiverState(ReceiverState::STATE_VALIDATING_MESSAGE);
}

void HartDataLink::ReceiveChecksum(uint8_t c, NTSTATUS status) {
    if (!NT_SUCCESS(status)) ctx_.RcvLineError = true;
    StoreReceivedByte(c);
    if (ctx_.RcvChecksum != 0 || ctx_.RcvLineError) {
        ctx_.ProtocolInfo.Delim = kDelimGotError;
        Trace(kTraceDetail, "Receiver FSM: pDeviceContext->HartProtocolInfo.Delim = EVT_GOT_ERR!\n");
    }
    ValidateReceivedMessage();
}

// Frames are assembled in place; the write position never passes the end of the buffer. A frame that
// would (no valid byte count allows it) loses its excess and counts as erroneous.
void HartDataLink::StoreReceivedByte(uint8_t c) {
    if (ctx_.RcvWritePos >= kRcvBufferSize) {
        ctx_.RcvLineError = true;
        Trace(kTraceError, "%s Error: frame longer than the receive buffer\n", "StoreReceivedByte");
        return;
    }
    ctx_.CommData[ctx_.RcvBufferStart][ctx_.RcvWritePos++] = c;
}

void HartDataLink::ValidateReceivedMessage() {
    const RcvBuffer& frame = ctx_.CommData[ctx_.RcvBufferStart];
    HartProtocolInfo& info = ctx_.ProtocolInfo;
    const uint8_t delimiter = frame[0];
    const uint8_t address0 = frame[1];

    uint8_t frameClass = (delimiter & 7) | ((address0 ^ info.MasterType) & kMasterAddressBit);
    info.Address = {static_cast<uint8_t>(address0 & 0x3F), 0, 0, 0, 0};
    if ((delimiter & kLongAddressBit) != 0) { // a short frame has no further address bytes
        for (size_t i = 1; i < info.Address.size(); ++i)
            info.Address[i] = frame[1 + i];
    }
    const bool master = info.StateMachineMode == kModeMaster;
    if (master) {
        info.BurstFlag = (address0 & kBurstAddressBit) != 0 ? 1 : 0;
        ctx_.EventQueue.RemoveAll(kFrameEventBit);
    } else {
        frameClass &= 7; // in slave mode every frame counts as this master's
    }
    info.LastFrameClass = frameClass;
    const ClassRoute route = RouteOf(frameClass, info.BurstFlag != 0);

    if (master) {
        const MasterState state = ctx_.CurrentMasterState;
        if ((frameClass == 0x06 && state == MasterState::STATE_BURST_RCV_MSG_ACK) ||
            (frameClass == 0x86 && state == MasterState::STATE_BURST_RCV_MSG_OACK)) {
            AppendEvent(info.Address == ctx_.BurstAddress ? EVT_BURST_MATCH : EVT_BURST_OTHER);
        }
    }
    ResetPortDataReceiverFsm();
    if ((info.Rcv_Mask & route.DeliveryBit) != 0) DeliverFrame();
    ctx_.Timers.BG = 0;
    if (route.Event == 0) return;
    // A frame whose start the state machine did not see (it began during a transmission or a transmit
    // window) may end in a state that takes no frame event. Its reception limit has replaced the
    // state's own wait and is stopped now; left like that, a state that waits on BG would wait for
    // ever. As for a frame cut short (set_BG_timeout), that wait is over.
    const bool unexpected = master && FindRow(ctx_.CurrentMasterState, route.Event) == nullptr;
    SendEventToOtherFsm(route.Event);
    if (unexpected && ctx_.Timers.BG == 0 && FindRow(ctx_.CurrentMasterState, EVT_BG_TIMEOUT) != nullptr) {
        Trace(kTraceDetail, "%s %s ends the wait of %s\n", "ValidateReceivedMessage",
              MasterEventName(route.Event), MasterStateName(ctx_.CurrentMasterState));
        FsmMasterProcessEvent(EVT_BG_TIMEOUT);
    }
}

// The frame just validated becomes the one readers get; the next frame goes to the other buffer.
void HartDataLink::DeliverFrame() {
    Trace(kTraceDetail, "completing read msg...\n");
    ctx_.RcvReadBuffer = ctx_.RcvBufferStart;
    ctx_.RcvReadPos = 0;
    ctx_.RcvPendingCount = ctx_.RcvSavedLength = ctx_.RcvWritePos;
    ctx_.RcvDeliveredStatus = ctx_.ProtocolInfo.Delim == kDelimGotError ? STATUS_CRC_ERROR : STATUS_SUCCESS;
    ctx_.RcvBufferStart ^= 1;
    ctx_.RcvWritePos = 0;
    Trace(kTraceDetail, "Using CommData.Buffer_Rcv%d....\n", ctx_.RcvBufferStart + 1);
    Trace(kTraceDetail, "Completing Read... >>>\n");
    host_.HartCompleteNextReadRequest();
}

void HartDataLink::SendEventToOtherFsm(uint8_t event) {
    switch (ctx_.ProtocolInfo.StateMachineMode) {
    case kModeMaster:
        Trace(kTraceReceiver, "SendEventToOtherFsm: %s\n", MasterEventName(event));
        FsmMasterProcessEvent(event);
        break;
    case kModeSlave:
        break;
    default:
        Trace(kTraceError, "%s Error: StateMachineMode is neither Master nor Slave!\n",
              "SendEventToOtherFsm");
        break;
    }
}

} // namespace zelhart::datalink
