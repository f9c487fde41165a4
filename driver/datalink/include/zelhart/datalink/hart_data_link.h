// The HART data link of one HART device: the receiver that cuts frames out of the byte stream, the
// table-driven master state machine that decides when this master may transmit, the deferred-event
// queue, the six countdowns of the 10 ms tick, the two alternating receive buffers and the pending
// write. Platform-free: bytes, ticks, write results and lifecycle events go in; the DataLinkHost is
// told what to do.
//
// Locking: the data-link lock
// ---------------------------
// The data link takes no lock. The driver keeps ONE lock per HART device for it, the data-link lock (a
// non-recursive std::mutex beside the HartDataLink in the HART device's context), and holds it around
// every call into the HartDataLink, from every context that enters it: the 10 ms timer
// (HartEvtTimerFunc), the completion of the one-byte serial read (the receiver), the serial write
// completion and the write work item (SerialWriteCompleted), the port restart work item, the read,
// write and I/O control handlers (frame copy, AcceptWriteRequest, SetReadMask, SetProtocol), file open,
// cleanup and close, port removal, and self-managed I/O suspend and restart. The event queue, the
// countdowns, the receiver and the buffered frame are all covered by it; nothing else guards them.
//
// Rules that keep it deadlock-free and free of lost wake-ups:
// - DataLinkHost callbacks run with the lock held: they only queue work and never wait (see
//   data_link_host.h). The lock is never held while waiting for the timer or a work item to finish:
//   suspend, close and removal stop the timer and flush the work items first, then take the lock.
// - The read handler holds the lock across its whole decision: test for a buffered frame, copy it or
//   forward the request to the secondary read queue. Frame delivery (inside the receiver, under the
//   lock) takes the next request from that queue, so a frame can never slip in between the test and
//   the forward. Order: data-link lock, then the queue's own lock; never the reverse (a queue's cancel
//   callback must not take the data-link lock while the queue holds its own).
// - The driver-wide HartDevicesLock may be held when taking a device's data-link lock (suspend and
//   restart walk the devices), never the other way round.
#pragma once

#include "zelhart/datalink/data_link_context.h"
#include "zelhart/datalink/data_link_host.h"
#include "zelhart/datalink/events.h"
#include "zelhart/datalink/ntstatus.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelhart::datalink {

struct DataLinkTestAccess;
namespace detail {
enum class Action : uint8_t;
struct FsmRow;
} // namespace detail

// The settings carried by IOCTL_HART_GET_PROTOCOL and IOCTL_HART_SET_PROTOCOL.
struct ProtocolSettings {
    uint16_t StateMachineMode = kModeMaster;
    uint8_t MasterType = 0x80;
    uint8_t RetryCount = 2;
};

class HartDataLink {
  public:
    // Device creation: the data-link defaults (MasterType 0x80, RetryCount 2, Rcv_Mask 0x02, master
    // mode, buffers cleared), the given timing copies, then EVT_STARTUP.
    explicit HartDataLink(DataLinkHost& host, const DataLinkTimings& timings = {});
    HartDataLink(const HartDataLink&) = delete;
    HartDataLink& operator=(const HartDataLink&) = delete;

    // ---- Bytes, ticks and events ----

    // One received character and the status of the read that delivered it.
    void HartPortDataReceiverFsmProcessReceivedCharacter(uint8_t c, NTSTATUS status);
    // One 10 ms tick: the countdowns of the current mode.
    void HartEvtTimerFunc();
    // The one entry into the master state machine.
    void FsmMasterProcessEvent(uint8_t event);
    // The receiver's route to the state machine of the current mode.
    void SendEventToOtherFsm(uint8_t event);
    // Receiver back to STATE_WAITING_FOR_PREAMBLE, receive gap countdown stopped.
    void ResetPortDataReceiverFsm();

    // ---- Write path ----

    // A write request arrived (HartQueueEvtIoWrite). STATUS_PENDING: it is now the pending write, held
    // by the caller until CompletePendingWriteRequest. STATUS_NOT_SUPPORTED in slave mode (nothing is
    // ever transmitted there) and STATUS_DEVICE_BUSY while another write is pending: complete the
    // request with that status at once.
    NTSTATUS AcceptWriteRequest();
    // The serial write of the pending frame ended with status and bytesWritten, or could not be
    // started (pass its failure status and 0). In master mode: BG = 3, EVT_XMIT_DONE.
    void SerialWriteCompleted(NTSTATUS status, uint32_t bytesWritten);

    // ---- Read path: the delivered frame ----

    // Only the latest delivered frame is held: a newer one replaces an unread older one.
    bool HasDeliveredFrame() const { return ctx_.RcvPendingCount > 0; }
    // Bytes copied and the read's completion status: STATUS_CRC_ERROR when the frame failed its
    // checksum or had a line error (its bytes are still returned); STATUS_SUCCESS otherwise, and with
    // 0 bytes when no frame is buffered.
    struct FrameCopy {
        size_t Bytes = 0;
        NTSTATUS Status = STATUS_SUCCESS;
    };
    // Immediate read (no read waiting): copies what fits; the rest stays for the next read.
    FrameCopy ReadDeliveredFrame(std::span<uint8_t> out);
    // Hand-over to a read that was waiting: copies what fits and drops the rest.
    FrameCopy TakeDeliveredFrame(std::span<uint8_t> out);
    // The frame is consumed without being copied (a waiting read whose buffer cannot be fetched).
    void DiscardDeliveredFrame() { ctx_.RcvPendingCount = 0; }

    // ---- I/O control ----

    void SetReadMask(uint8_t mask) { ctx_.ProtocolInfo.Rcv_Mask = mask; }
    uint8_t ReadMask() const { return ctx_.ProtocolInfo.Rcv_Mask; }
    // IOCTL_HART_SET_PROTOCOL: master type (only 0x00 or 0x80 taken), retry count, and the one-way
    // switch from master to slave mode.
    void SetProtocol(const ProtocolSettings& settings);
    ProtocolSettings GetProtocol() const;

    // ---- Lifecycle ----

    // The port of the HART device was opened and configured: EVT_STARTUP, receiver reset.
    void OnOpen();
    // Cleanup or close of the HART device's handle (safe to run twice): the slave gap, Q, BA and BG
    // countdowns cleared, queued transmit requests removed, a pending write completed with
    // STATUS_CANCELLED, receiver reset, EVT_STARTUP.
    void OnCleanupOrClose();
    // The serial port disappeared: receiver reset, EVT_STARTUP, a pending write completed with
    // STATUS_CANCELLED.
    void OnPortRemoved();
    // Self-managed I/O suspend (timer and reading already stopped): receiver reset, EVT_SUSPEND.
    void OnSuspend();
    // Self-managed I/O restart: BA, BG, Q stopped, queued timer events removed, restart countdown 200.
    // The caller starts the timer; EVT_RESTART follows 2 s later and asks for WorkItemTriggerTx. Reading
    // must stay stopped until that work item runs: EVT_RESTART is taken in STATE_BUS_RESTART only.
    void OnResume();

    // The receive gap is at least `ticks` (a port that delivers received characters in bursts: the
    // silence between two bursts is not the end of a frame); 0 leaves GAP alone.
    void SetMinimumReceiveGap(uint16_t ticks) { minReceiveGap_ = ticks; }

    const DataLinkContext& Context() const { return ctx_; }

  private:
    friend struct DataLinkTestAccess;
    using Action = detail::Action;
    using FsmRow = detail::FsmRow;

    // Master engine (master_fsm.cpp)
    const FsmRow* FindRow(MasterState state, uint8_t event) const;
    void RunRow(const FsmRow& row);
    void DrainEventQueue();
    void RunAction(Action action);
    void AppendEvent(uint8_t event);
    void ReceiveGapExpired();
    void ClearTimerEvents() { ctx_.EventQueue.RemoveAll(kTimerEventBit); }
    void ClearTransmitRequest() { ctx_.EventQueue.RemoveAll(kTransmitRequestBit); }
    void restart_timers(uint16_t bg);
    void init_BG_wait_slave(uint16_t bg);
    void init_BG_wait_xmit();
    void init_BG_wait_pri();
    void transmit();
    void xmit_confirm();
    void HartMasterFailTransmit();
    void CleanupForSuspendIo();
    void ForgetPendingWrite();
    void CancelPendingWrite(NTSTATUS status);

    // Receiver (receiver_fsm.cpp)
    void ProcessFirstPreamble(uint8_t c, NTSTATUS status);
    void ProcessPreamble(NTSTATUS status);
    bool ValidateStartOfMessage(uint8_t c, NTSTATUS status);
    void ReceiveHeaderByte(uint8_t c, NTSTATUS status);
    void ReceiveDataByte(uint8_t c, NTSTATUS status);
    void ReceiveChecksum(uint8_t c, NTSTATUS status);
    void StoreReceivedByte(uint8_t c);
    void FailStartOfMessage();
    void SetReceiverState(ReceiverState next);
    void ValidateReceivedMessage();
    void DeliverFrame();

    // Tracing (data_link.cpp)
    bool Tracing(uint32_t mask) const { return host_.TraceEnabled(mask); }
    void Trace(uint32_t mask, const char* format, ...) __attribute__((format(printf, 3, 4)));

    DataLinkHost& host_;
    DataLinkContext ctx_;
    uint16_t minReceiveGap_ = 0;
    int carrierHeldTicks_ = 0; // consecutive ticks Q and BG were held by characters arriving
};

} // namespace zelhart::datalink
