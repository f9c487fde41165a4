// What the data link of one HART device needs from the driver around it.
//
// The data link decides; the host acts. Every call below is made from inside a data-link entry, that
// is with the device's data-link lock held (see hart_data_link.h). An implementation must therefore
// return quickly, must not block, and must not feed anything back into the data link from inside the
// call: work that leads to a new event (the serial write, the port restart, presenting the next write
// request) is queued and runs later as its own entry. Calling the read-side queries of HartDataLink
// (HasDeliveredFrame, TakeDeliveredFrame, DiscardDeliveredFrame) from
// HartCompleteNextReadRequest is expected and allowed.
#pragma once

#include "zelhart/datalink/ntstatus.h"

#include <cstdint>
#include <string_view>

namespace zelhart::datalink {

class DataLinkHost {
  public:
    virtual ~DataLinkHost() = default;

    // The transmit action: put the pending write's frame on the wire (cancel the one-byte read in
    // flight, enqueue WorkItemWrite). The receiver has already been reset. The outcome comes back
    // later through HartDataLink::SerialWriteCompleted, also when the write could not be started.
    virtual void HartWriteDataToSerialPort() = 0;

    // InitializeForRestartIo: enqueue WorkItemTriggerTx, which reopens the port after resume, restarts
    // reading and the queues, and gives EVT_XMIT_REQ when a write is pending.
    virtual void EnqueueWorkItemTriggerTx() = 0;

    // The last attempt of a write failed and the write was completed: when the one-byte read loop is
    // stopped (ReadingActive clear), enqueue WorkItemRead so that reception resumes.
    virtual void ResumeReception() = 0;

    // Complete PendingWriteRequest with status and Information = information. The data link has
    // already forgotten the write when this is called.
    virtual void CompletePendingWriteRequest(NTSTATUS status, uint32_t information) = 0;

    // A frame was delivered for readers: take the next read waiting in the secondary read queue, if
    // any, and complete it from HartDataLink::TakeDeliveredFrame. With no waiting read, do nothing: the
    // frame stays buffered for the next read.
    virtual void HartCompleteNextReadRequest() = 0;

    // HartTrace: is any bit of mask enabled in DebugLevel? Lines are formatted only when it is.
    virtual bool TraceEnabled(uint32_t mask) const = 0;
    // One formatted trace line (ending in "\n"), without the "HartDriver: " prefix.
    virtual void Trace(uint32_t mask, std::string_view line) = 0;
    // A line printed whatever DebugLevel says (the entry into STATE_BUS_RESTART).
    virtual void DebugPrint(std::string_view line) = 0;
};

} // namespace zelhart::datalink
