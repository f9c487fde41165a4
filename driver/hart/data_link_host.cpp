// What the data link of a HART device asks of the driver. Every call comes with DataLinkLock held:
// each one only queues work or completes a request.
#include "contexts.h"
#include "hart_trace.h"

#include <span>

namespace zelhart::hartdriver {

void HARTDEVICE_CONTEXT::HartWriteDataToSerialPort() {
    HartTrace(HART_TRACE_DETAIL, "%s >>>>\n", __func__);
    // The receiver has been reset by the transmit action. The byte read in flight is cancelled; its
    // completion starts a fresh one (ReadingActive is still set), so reception goes on across the
    // transmission.
    if (ReadRequestToSerial && ReadRequestToSerial->CancelSentRequest())
        HartTrace(HART_TRACE_DETAIL, "Read request cancelled!\n");
    if (RestartPending) {
        WriteAfterRestart = true; // the port is reopened first; the restart work item sends it
        return;
    }
    WorkItemWrite->Enqueue();
}

void HARTDEVICE_CONTEXT::EnqueueWorkItemTriggerTx() {
    RestartPending = true;
    WorkItemTriggerTx->Enqueue();
}

void HARTDEVICE_CONTEXT::ResumeReception() {
    if (!ReadingActive) WorkItemRead->Enqueue();
}

void HARTDEVICE_CONTEXT::CompletePendingWriteRequest(NTSTATUS status, uint32_t information) {
    WDFREQUEST request;
    request.swap(PendingWriteRequest);
    WriteBuffer.clear();
    if (request) request->CompleteWithInformation(status, information);
}

// Hands the delivered frame to the next read waiting in the secondary read queue; the bytes that do
// not fit its buffer are dropped. With no read waiting the frame stays for the next read.
void HARTDEVICE_CONTEXT::HartCompleteNextReadRequest() {
    WDFREQUEST request;
    if (!QueueReadSecondary || !NT_SUCCESS(QueueReadSecondary->RetrieveNextRequest(&request))) return;
    void* buffer;
    size_t length;
    NTSTATUS status = request->RetrieveOutputBuffer(1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestRetrieveOutputBuffer failed with Status: 0x%X\n",
                  "HartCompleteReadRequest", static_cast<unsigned>(status));
        DataLink->DiscardDeliveredFrame();
        return request->CompleteWithInformation(STATUS_UNSUCCESSFUL, 0);
    }
    auto copy = DataLink->TakeDeliveredFrame(std::span(static_cast<uint8_t*>(buffer), length));
    HartTrace(HART_TRACE_DETAIL, "ReadCompletionStatus: 0x%8X information: %d\n",
              static_cast<unsigned>(copy.Status), static_cast<int>(copy.Bytes));
    if (copy.Status == STATUS_CRC_ERROR) HartTrace(HART_TRACE_ERROR, "HART2: EVT_GOT_ERR!!!\n");
    request->CompleteWithInformation(copy.Status, copy.Bytes);
}

bool HARTDEVICE_CONTEXT::CountdownsRun() const {
    if (!DataLink) return false;
    const datalink::Countdowns& t = DataLink->Context().Timers;
    return t.SlaveGap || t.Q || t.BA || t.BG || t.RcvGap || t.Restart;
}

void HARTDEVICE_CONTEXT::DisableTimer() {
    TimerEnabled = false;
    TickDeferrals = 0;
    if (TimerRunning && Timer) Timer->Stop(false);
    TimerRunning = false;
}

void HARTDEVICE_CONTEXT::ArmTimer() {
    if (!TimerEnabled || TimerRunning || !Timer || !CountdownsRun()) return;
    constexpr int64_t kDueTime = -100000; // 10 ms, relative, in 100-ns units
    Timer->Start(kDueTime);
    TimerRunning = true;
    TickDeferrals = 0;
}

bool HARTDEVICE_CONTEXT::TraceEnabled(uint32_t mask) const {
    return HartTraceEnabled(mask);
}

void HARTDEVICE_CONTEXT::Trace(uint32_t mask, std::string_view line) {
    HartTraceLine(mask, line);
}

void HARTDEVICE_CONTEXT::DebugPrint(std::string_view line) {
    HartDebugPrint(line);
}

} // namespace zelhart::hartdriver
