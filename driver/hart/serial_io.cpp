// The one-byte read loop that feeds the receiver, and the transmission of the pending frame.
#include "contexts.h"
#include "hart_trace.h"

#include <ctime>
#include <vector>

namespace zelhart::hartdriver {
namespace {

constexpr int64_t kCharacterNs = 9'166'667; // 11 bits at 1200 baud
// How long after the frame has left the port its echo may still come: a few characters, and on a USB
// port the adapter's delivery latency (up to 32 ms) on top.
constexpr int64_t kEchoWindowNs = 4 * kCharacterNs;
constexpr int64_t kUsbDeliveryLatencyNs = 32'000'000;

int64_t MonotonicNs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A received character on its way to the receiver, past the echo filter.
void Receive(HARTDEVICE_CONTEXT* ctx, uint8_t c, NTSTATUS status) {
    std::vector<datalink::EchoFilter::Char> pass;
    const bool lineError = status == STATUS_PARITY_ERROR;
    if (ctx->Echo.Feed(c, lineError, MonotonicNs(), &pass)) {
        if (!ctx->EchoTraced)
            HartTrace(HART_TRACE_ERROR, "Target %s: the modem echoes what it transmits; the echo is suppressed\n",
                      ctx->TargetName.c_str());
        else
            HartTrace(HART_TRACE_DETAIL, "echo of the frame sent suppressed\n");
        ctx->EchoTraced = true;
    }
    for (const auto& ch : pass)
        ctx->DataLink->HartPortDataReceiverFsmProcessReceivedCharacter(ch.value,
                                                                      ch.lineError ? STATUS_PARITY_ERROR : STATUS_SUCCESS);
}

bool MasterMode(const HARTDEVICE_CONTEXT* ctx) {
    return ctx->DataLink->Context().ProtocolInfo.StateMachineMode == datalink::kModeMaster;
}

void DeleteRequest(WDFREQUEST* request) {
    if (!*request) return;
    (*request)->Delete();
    request->reset();
}

// Completion of the one-byte read: the byte goes to the receiver, and the loop goes on while
// ReadingActive is set. A character received with a parity or framing error comes with
// STATUS_PARITY_ERROR and still reaches the receiver, which judges it by that status.
void HartGotDataFromSerialPort(WDFREQUEST request, WDFIOTARGET, const RequestCompletionParams& params,
                               void* context) {
    auto* ctx = static_cast<HARTDEVICE_CONTEXT*>(context);
    auto lock = ctx->Lock();
    if (ctx->ReadRequestToSerial != request) return; // a read of an earlier loop, already let go
    bool delivered = NT_SUCCESS(params.Status) || params.Status == STATUS_PARITY_ERROR;
    if (delivered && params.Information >= 1) {
        uint8_t c = 0;
        NTSTATUS copied = params.Buffer ? params.Buffer->CopyToBuffer(0, &c, 1) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(copied)) {
            Receive(ctx, c, params.Status);
        } else {
            HartTrace(HART_TRACE_ERROR, "%s WdfMemoryCopyToBuffer FAILED with status 0x%X\n", __func__,
                      static_cast<unsigned>(copied));
            ctx->HartCompleteNextReadRequest();
        }
    }
    DeleteRequest(&ctx->ReadRequestToSerial);
    // The next read starts here rather than from WorkItemRead: a completion never runs inside Send, so
    // this cannot recurse, and characters already waiting reach the receiver without a trip through a
    // worker thread each (which, on a busy machine, could outlast the receive gap between them).
    if (ctx->ReadingActive) HartReadDataFromPort(ctx);
}

// The end of one transmission, successful or not, as the master state machine must hear of it.
void ReportTransmission(HARTDEVICE_CONTEXT* ctx, NTSTATUS status, uint32_t bytesWritten) {
    // The frame has left the port (its echo may still come for a while), or nothing was sent at all.
    ctx->Echo.TransmitDone(MonotonicNs(),
                           bytesWritten == 0 ? 0 : kEchoWindowNs + (ctx->UsbPort ? kUsbDeliveryLatencyNs : 0));
    ctx->DataLink->SerialWriteCompleted(status, bytesWritten); // master mode: BG = 3, EVT_XMIT_DONE
    if (MasterMode(ctx)) ctx->WorkItemRead->Enqueue();
}

void HartWriteRequestToSerialCompletion(WDFREQUEST, WDFIOTARGET, const RequestCompletionParams& params,
                                        void* context) {
    auto* ctx = static_cast<HARTDEVICE_CONTEXT*>(context);
    HartTrace(HART_TRACE_DETAIL, "%s: Status = 0x%X   BytesWritten: %d\n", __func__,
              static_cast<unsigned>(params.Status), static_cast<int>(params.Information));
    auto lock = ctx->Lock();
    if (params.Status == STATUS_INVALID_DEVICE_STATE && ctx->IoTarget) {
        // The port was lost under the target: open it once more by name.
        WDFIOTARGET old;
        old.swap(ctx->IoTarget);
        old->Close();
        old->Delete();
        HartReopenIoTarget(ctx->Device.lock(), ctx);
    }
    ReportTransmission(ctx, params.Status, static_cast<uint32_t>(params.Information));
}

// Sends the pending frame; STATUS_PENDING when the serial write is under way.
NTSTATUS StartSerialWrite(HARTDEVICE_CONTEXT* ctx) {
    WDFIOTARGET target = ctx->IoTarget;
    if (!ctx->WriteRequestToSerial) {
        HartTrace(HART_TRACE_DETAIL, "Create new Write Request!\n");
        ObjectAttributes attributes;
        attributes.ParentObject = ctx->Device.lock();
        NTSTATUS status = Request::Create(attributes, target, &ctx->WriteRequestToSerial);
        if (!NT_SUCCESS(status)) {
            HartTrace(HART_TRACE_ERROR, "Error: WdfRequestCreate Failed with Status: 0x%X!\n",
                      static_cast<unsigned>(status));
            return status;
        }
    } else {
        ctx->WriteRequestToSerial->Reuse(); // one request object for every frame of an open
    }
    WDFMEMORY memory;
    NTSTATUS status = Memory::Create(ctx->WriteBuffer.size(), &memory);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "Error: WdfMemoryCreate Failed with Status: 0x%X!\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = memory->CopyFromBuffer(0, ctx->WriteBuffer.data(), ctx->WriteBuffer.size());
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "Error: WdfMemoryCopyFromBuffer Failed with Status: 0x%X!\n",
                  static_cast<unsigned>(status));
        return status;
    }
    if (target->GetState() != IoTargetState::Started) {
        HartTrace(HART_TRACE_ERROR, "STATUS_INVALID_DEVICE_STATE....\n");
        return STATUS_INVALID_DEVICE_STATE;
    }
    HartTrace(HART_TRACE_DETAIL, "WdfIoTargetStarted....\n");
    status = target->FormatRequestForWrite(ctx->WriteRequestToSerial, memory);
    if (!NT_SUCCESS(status)) return status;
    ctx->WriteRequestToSerial->SetCompletionRoutine(HartWriteRequestToSerialCompletion, ctx);
    ctx->Echo.Transmitting(ctx->WriteBuffer);
    if (!ctx->WriteRequestToSerial->Send()) {
        status = ctx->WriteRequestToSerial->GetStatus();
        HartTrace(HART_TRACE_ERROR, "WdfRequestSend WRITE failed with Status: 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    return STATUS_PENDING;
}

} // namespace

bool HartReadDataFromPort(HARTDEVICE_CONTEXT* ctx) {
    if (ctx->ReadRequestToSerial) return false; // a read is in flight already
    if (!ctx->IoTarget) {
        HartTrace(HART_TRACE_ERROR, "pDeviceContext->IoTarget is NULL!\n");
        return false;
    }
    IoTargetState state = ctx->IoTarget->GetState();
    if (state != IoTargetState::Started)
        HartTrace(HART_TRACE_ERROR, "!!!!!!!!!!!!!!!stateIoTarget %d\n", static_cast<int>(state));

    ObjectAttributes attributes;
    attributes.ParentObject = ctx->Device.lock();
    WDFREQUEST request;
    NTSTATUS status = Request::Create(attributes, ctx->IoTarget, &request);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestCreate READ with Status 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        return false;
    }
    WDFMEMORY buffer;
    status = Memory::Create(1, &buffer);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfMemoryCreate failed with Status: 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        request->Delete();
        return false;
    }
    if (state != IoTargetState::Started) {
        HartTrace(HART_TRACE_ERROR, "%s Error: IoTarget is not started\n", __func__);
        request->Delete();
        ctx->HartCompleteNextReadRequest(); // a waiting read gets what is buffered, possibly nothing
        return false;
    }
    status = ctx->IoTarget->FormatRequestForRead(request, buffer);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfIoTargetFormatRequestForRead Failed with Status 0x%X\n",
                  __func__, static_cast<unsigned>(status));
        request->Delete();
        return false;
    }
    request->SetCompletionRoutine(HartGotDataFromSerialPort, ctx);
    ctx->ReadRequestToSerial = request;
    if (!request->Send()) {
        if (request->GetStatus() == STATUS_CANCELLED) {
            HartTrace(HART_TRACE_ERROR, "WdfRequestSend Failed: STATUS_CANCELLED\n");
            ctx->HartCompleteNextReadRequest();
        }
        DeleteRequest(&ctx->ReadRequestToSerial); // so that a later read can start
        return false;
    }
    return true;
}

void HartEvtWorkItemRead(WDFWORKITEM item) {
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(HartDeviceOf(item));
    if (!ctx) return;
    auto lock = ctx->Lock();
    if (HartReadDataFromPort(ctx)) ctx->ReadingActive = true;
}

void HartEvtWorkItemWrite(WDFWORKITEM item) {
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(HartDeviceOf(item));
    if (!ctx) return;
    auto lock = ctx->Lock();
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (!ctx->IoTarget) {
        HartTrace(HART_TRACE_ERROR, "IoTarget is NULL!\n");
    } else {
        IoTargetState state = ctx->IoTarget->GetState();
        HartTrace(HART_TRACE_DETAIL, "2 stateIoTarget: %d\n", static_cast<int>(state));
        if (!ctx->PendingWriteRequest || state != IoTargetState::Started) {
            HartTrace(HART_TRACE_ERROR, "Error: pDeviceContext->PendingWriteRequest is NULL!\n");
            DeleteRequest(&ctx->WriteRequestToSerial);
        } else {
            status = StartSerialWrite(ctx);
            if (status == STATUS_PENDING) {
                HartTrace(HART_TRACE_DETAIL, ">>>> NT_SUCCESS(Status)\n");
                return; // HartWriteRequestToSerialCompletion goes on
            }
            HartTrace(HART_TRACE_ERROR, "!NT_SUCCESS(Status): 0x%X\n", static_cast<unsigned>(status));
            DeleteRequest(&ctx->WriteRequestToSerial);
        }
    }
    // The attempt counts as transmitted: without a reply the data link sends it again.
    ReportTransmission(ctx, NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status, 0);
}

} // namespace zelhart::hartdriver
