#include "zelhart/datalink/events.h"

namespace zelhart::datalink {

// clang-format off
const char* MasterStateName(MasterState state) {
    switch (state) {
    case MasterState::STATE_BUS_RESTART: return "STATE_BUS_RESTART";
    case MasterState::STATE_RCV_MSG_RESTART: return "STATE_RCV_MSG_RESTART";
    case MasterState::STATE_BUS_FREE: return "STATE_BUS_FREE";
    case MasterState::STATE_BUS_BUSY: return "STATE_BUS_BUSY";
    case MasterState::STATE_RCV_MSG_OSTX: return "STATE_RCV_MSG_OSTX";
    case MasterState::STATE_WAIT_OACK: return "STATE_WAIT_OACK";
    case MasterState::STATE_RCV_MSG_OACK: return "STATE_RCV_MSG_OACK";
    case MasterState::STATE_MY_BUS: return "STATE_MY_BUS";
    case MasterState::STATE_TRANSMITTING: return "STATE_TRANSMITTING";
    case MasterState::STATE_WAIT_ACK: return "STATE_WAIT_ACK";
    case MasterState::STATE_RCV_MSG_ACK: return "STATE_RCV_MSG_ACK";
    case MasterState::STATE_TOO_MANY_PRE: return "STATE_TOO_MANY_PRE";
    case MasterState::STATE_BURST_MY_BUS: return "STATE_BURST_MY_BUS";
    case MasterState::STATE_BURST_TRANSMITTING: return "STATE_BURST_TRANSMITTING";
    case MasterState::STATE_BURST_WAIT_ACK: return "STATE_BURST_WAIT_ACK";
    case MasterState::STATE_BURST_RCV_MSG_ACK: return "STATE_BURST_RCV_MSG_ACK";
    case MasterState::STATE_BURST_BUS_BUSY: return "STATE_BURST_BUS_BUSY";
    case MasterState::STATE_BURST_RCV_MSG: return "STATE_BURST_RCV_MSG";
    case MasterState::STATE_BURST_WAIT_OACK: return "STATE_BURST_WAIT_OACK";
    case MasterState::STATE_BURST_RCV_MSG_OACK: return "STATE_BURST_RCV_MSG_OACK";
    case MasterState::STATE_BURST_PENDING_ACK: return "STATE_BURST_PENDING_ACK";
    case MasterState::STATE_BURST_PENDING_OACK: return "STATE_BURST_PENDING_OACK";
    case MasterState::STATE_BURST_TOO_MANY_PRE: return "STATE_BURST_TOO_MANY_PRE";
    }
    return "?";
}

const char* MasterEventName(uint8_t event) {
    switch (event) {
    case EVT_STARTUP: return "EVT_STARTUP";
    case EVT_XMIT_DONE: return "EVT_XMIT_DONE";
    case EVT_XMIT_REQ: return "EVT_XMIT_REQ";
    case EVT_GOT_ERR: return "EVT_GOT_ERR";
    case EVT_RCV_BACK: return "EVT_RCV_BACK";
    case EVT_RCV_STX: return "EVT_RCV_STX";
    case EVT_INV_SOM: return "EVT_INV_SOM";
    case EVT_RCV_ACK: return "EVT_RCV_ACK";
    case EVT_RCV_ACK_BURST: return "EVT_RCV_ACK_BURST";
    case EVT_VAL_PRE: return "EVT_VAL_PRE";
    case EVT_BURST_OTHER: return "EVT_BURST_OTHER";
    case EVT_BURST_MATCH: return "EVT_BURST_MATCH";
    case EVT_TOO_MANY_PRE: return "EVT_TOO_MANY_PRE";
    case EVT_BG_TIMEOUT: return "EVT_BG_TIMEOUT";
    case EVT_Q_TIMEOUT: return "EVT_Q_TIMEOUT";
    case EVT_BA_TIMEOUT: return "EVT_BA_TIMEOUT";
    case EVT_RCV_OBACK: return "EVT_RCV_OBACK";
    case EVT_RCV_OSTX: return "EVT_RCV_OSTX";
    case EVT_RCV_OACK: return "EVT_RCV_OACK";
    case EVT_RCV_OACK_BURST: return "EVT_RCV_OACK_BURST";
    case EVT_SUSPEND: return "EVT_SUSPEND";
    case EVT_RESTART: return "EVT_RESTART";
    }
    return "?";
}

const char* ReceiverStateName(ReceiverState state) {
    switch (state) {
    case ReceiverState::STATE_WAITING_FOR_PREAMBLE: return "STATE_WAITING_FOR_PREAMBLE";
    case ReceiverState::STATE_VALIDATING_PREAMBLE: return "STATE_VALIDATING_PREAMBLE";
    case ReceiverState::STATE_RECEIVING_UNTIL_BYTECOUNT: return "STATE_RECEIVING_UNTIL_BYTECOUNT";
    case ReceiverState::STATE_RECEIVING_VALID_DATA: return "STATE_RECEIVING_VALID_DATA";
    case ReceiverState::STATE_VALIDATING_MESSAGE: return "STATE_VALIDATING_MESSAGE";
    }
    return "?";
}
// clang-format on

} // namespace zelhart::datalink
