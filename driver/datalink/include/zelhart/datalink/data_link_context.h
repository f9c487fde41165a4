// The data-link fields of a HART device's context: protocol settings, timing values, receiver and
// master state, the two receive buffers, the event queue, the countdowns and the pending write.
#pragma once

#include "zelhart/datalink/events.h"
#include "zelhart/datalink/fsm_event_queue.h"
#include "zelhart/datalink/ntstatus.h"

#include <array>
#include <cstdint>

namespace zelhart::datalink {

// Fixed values of the data link, in ticks of 10 ms where they are times.
inline constexpr uint16_t kReplyReceptionLimit = 170;  // BG after the first preamble of a reply
inline constexpr uint16_t kFrameReceptionLimit = 1000; // BG while a frame arrives
inline constexpr uint16_t kRestartDelay = 200;         // restart countdown after resume
inline constexpr uint16_t kPostTransmissionBg = 3;     // BG when a serial write ends
inline constexpr int kPreambleLimit = 250;             // more preamble characters are an error
inline constexpr int kQuietTimeMargin = 3;             // Q = QUIETTIME + 3, BG = RT1PRIMARY + 3
inline constexpr size_t kRcvBufferSize = 269;          // longest frame is 267 bytes
inline constexpr uint8_t kPreambleCharacter = 0xFF;
inline constexpr uint8_t kDelimValidPreamble = 0x0F; // Delim after a valid first preamble
inline constexpr uint8_t kDelimGotError = 0x10;      // Delim after a checksum or line error

// Timing values of one device (ticks of 10 ms), copied from the driver's tunables at device creation.
// RT1SECONDARY, STO and PRE2 are carried but no timing rule consults them.
struct DataLinkTimings {
    uint16_t RT1PRIMARY = 34;
    uint16_t RT1SECONDARY = 42;
    uint16_t RT2 = 8;
    uint16_t STO = 28;
    uint16_t QUIETTIME = 34;
    uint16_t BGTIMESTART = 298;
    uint16_t BGTIMEERROR = 296;
    uint16_t RT1DIFF = 0;
    uint16_t PRE2 = 3;
    uint16_t MISSEDTRANSMITWINDOW = 77;
    uint16_t MaxMessageLength = 265;
    uint16_t HOLD = 3;
    uint16_t GAP = 3;
};

inline constexpr uint16_t kModeMaster = 0;
inline constexpr uint16_t kModeSlave = 1;

// Protocol settings and the receiver's verdicts on the last frame.
struct HartProtocolInfo {
    std::array<uint8_t, 5> Address{}; // last frame: first address byte & 0x3F, then the long address
    uint8_t MasterType = 0x80;        // 0x80 primary, 0x00 secondary master
    uint8_t Delim = 0;                // 0x0F after a valid first preamble, 0x10 after an error
    uint8_t LastFrameClass = 0;       // delimiter & 7, | 0x80 for the other master
    uint8_t RetryCount = 2;           // retransmissions after the first attempt of a write
    uint8_t Rcv_Mask = 0x02;          // frame classes handed to readers
    uint16_t StateMachineMode = kModeMaster;
    uint8_t BurstFlag = 0; // bit 6 of the last frame's first address byte
};

// The six countdowns, in ticks; 0 = stopped.
struct Countdowns {
    uint16_t SlaveGap = 0;
    uint16_t Q = 0;
    uint16_t BA = 0;
    uint16_t BG = 0;
    uint16_t RcvGap = 0;
    uint16_t Restart = 0;
};

using RcvBuffer = std::array<uint8_t, kRcvBufferSize>;

struct DataLinkContext {
    HartProtocolInfo ProtocolInfo;
    DataLinkTimings Timings;
    std::array<uint8_t, 5> BurstAddress{};

    MasterState CurrentMasterState = MasterState::STATE_BUS_RESTART;
    ReceiverState CurrentReceiverState = ReceiverState::STATE_WAITING_FOR_PREAMBLE;

    // CommData.Buffer_Rcv1 and CommData.Buffer_Rcv2; frames alternate between them so that a
    // delivered frame stays readable while the next one arrives.
    std::array<RcvBuffer, 2> CommData{};
    uint8_t RcvBufferStart = 0;   // buffer the frame being received goes to
    uint16_t RcvWritePos = 0;     // next byte of that frame (offset, never above kRcvBufferSize)
    uint8_t RcvReadBuffer = 0;    // buffer of the delivered frame
    uint16_t RcvReadPos = 0;      // its next unread byte
    uint32_t RcvPendingCount = 0; // its unread bytes
    uint32_t RcvSavedLength = 0;  // its length
    NTSTATUS RcvDeliveredStatus = STATUS_SUCCESS; // what readers of it get
    uint16_t RcvCountdown = 0;                    // bytes still due in the header or the data section
    uint8_t RcvChecksum = 0;                      // running XOR since the delimiter
    int16_t PreambleCount = 0;
    bool RcvLineError = false; // a byte of the frame body came with a failure status

    FsmEventQueue EventQueue;
    Countdowns Timers;

    bool PendingWriteRequest = false;
    NTSTATUS WriteCompletionStatus = STATUS_SUCCESS; // of the last serial write
    uint32_t WriteCompletionInformation = 0;         // bytes it wrote
    int32_t WriteRetriesLeftCount = 0;               // transmissions left for the pending write
};

} // namespace zelhart::datalink
