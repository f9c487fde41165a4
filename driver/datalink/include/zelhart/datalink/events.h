// Events and states of the HART data link of one HART device.
//
// Master events are single bytes. Bit 0x40 marks the timer events and bit 0x08 the transmit request:
// a state that does not accept an event with either bit defers it in the event queue; any other event
// it does not accept is dropped. A received frame raises (frame class | 0x10), plus 1 for a reply from
// a slave in burst mode; the frame class carries 0x80 when the frame belongs to the other master.
#pragma once

#include <cstdint>

namespace zelhart::datalink {

enum MasterEvent : uint8_t {
    EVT_STARTUP = 0x01,        // device created, opened, closed; slave mode selected; port removed
    EVT_XMIT_DONE = 0x02,      // the serial write of the frame ended (or could not start)
    EVT_XMIT_REQ = 0x08,       // a write to send, or a retry of it
    EVT_GOT_ERR = 0x10,        // line error in a frame header
    EVT_RCV_BACK = 0x11,       // burst frame of this master
    EVT_RCV_STX = 0x12,        // request of this master
    EVT_INV_SOM = 0x14,        // invalid start of a frame, or the receive gap expired
    EVT_RCV_ACK = 0x16,        // slave reply to this master
    EVT_RCV_ACK_BURST = 0x17,  // the same from a slave in burst mode
    EVT_VAL_PRE = 0x20,        // first preamble character of a frame
    EVT_BURST_OTHER = 0x22,    // a reply in a burst state from another slave than the bursting one
    EVT_BURST_MATCH = 0x24,    // a reply in a burst state from the bursting slave
    EVT_TOO_MANY_PRE = 0x26,   // more preamble characters than the limit
    EVT_BG_TIMEOUT = 0x41,     // BG countdown expired (or a zero wait was asked for)
    EVT_Q_TIMEOUT = 0x42,      // Q countdown expired
    EVT_BA_TIMEOUT = 0x44,     // BA countdown expired
    EVT_RCV_OBACK = 0x91,      // burst frame of the other master
    EVT_RCV_OSTX = 0x92,       // request of the other master
    EVT_RCV_OACK = 0x96,       // slave reply to the other master
    EVT_RCV_OACK_BURST = 0x97, // the same from a slave in burst mode
    EVT_SUSPEND = 0xA2,        // self-managed I/O suspended
    EVT_RESTART = 0xB2,        // restart countdown expired after resume
};

inline constexpr uint8_t kDeferrableEventBits = 0x48; // timer events and the transmit request
inline constexpr uint8_t kTimerEventBit = 0x40;
inline constexpr uint8_t kTransmitRequestBit = 0x08;
inline constexpr uint8_t kFrameEventBit = 0x20; // removed from the queue by every validated frame

enum class MasterState : uint8_t {
    STATE_BUS_RESTART, // initial: the bus state is yet to be learned
    STATE_RCV_MSG_RESTART,
    STATE_BUS_FREE,
    STATE_BUS_BUSY,
    STATE_RCV_MSG_OSTX,
    STATE_WAIT_OACK,
    STATE_RCV_MSG_OACK,
    STATE_MY_BUS, // this master's transmit window
    STATE_TRANSMITTING,
    STATE_WAIT_ACK,
    STATE_RCV_MSG_ACK,
    STATE_TOO_MANY_PRE,
    STATE_BURST_MY_BUS,
    STATE_BURST_TRANSMITTING,
    STATE_BURST_WAIT_ACK,
    STATE_BURST_RCV_MSG_ACK,
    STATE_BURST_BUS_BUSY,
    STATE_BURST_RCV_MSG,
    STATE_BURST_WAIT_OACK,
    STATE_BURST_RCV_MSG_OACK,
    STATE_BURST_PENDING_ACK,
    STATE_BURST_PENDING_OACK,
    STATE_BURST_TOO_MANY_PRE,
};
inline constexpr int kMasterStateCount = 23;

enum class ReceiverState : uint32_t {
    STATE_WAITING_FOR_PREAMBLE = 0,
    STATE_VALIDATING_PREAMBLE = 1,
    STATE_RECEIVING_UNTIL_BYTECOUNT = 2,
    STATE_RECEIVING_VALID_DATA = 3,
    STATE_VALIDATING_MESSAGE = 4,
};

// Names as they appear in trace lines ("STATE_BUS_FREE", "EVT_Q_TIMEOUT"); "?" for unknown values.
const char* MasterStateName(MasterState state);
const char* MasterEventName(uint8_t event);
const char* ReceiverStateName(ReceiverState state);

// Trace categories, gated by the driver's DebugLevel mask.
enum TraceMask : uint32_t {
    kTraceError = 0x01,
    kTraceEntry = 0x02,
    kTraceIoctl = 0x04,
    kTraceDetail = 0x10,
    kTraceMasterState = 0x20,
    kTraceReceiver = 0x40,
    kTraceTimeStamp = 0x80,
};

} // namespace zelhart::datalink
