// The queues of a HART device, read delivery, write acceptance and the cancellation of forwarded
// requests.
#include "contexts.h"
#include "hart_trace.h"

#include <span>

namespace zelhart::hartdriver {
namespace {

HARTDEVICE_CONTEXT* ContextOf(const WDFQUEUE& queue) {
    return HartDeviceGetContext(queue->GetDevice());
}

NTSTATUS CreateQueue(const WDFDEVICE& device, const IoQueueConfig& config, WDFQUEUE* queue,
                     const char* what) {
    NTSTATUS status = IoQueue::Create(device, config, {}, queue);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "WdfIoQueueCreate for %s failed with Status: 0x%X\n", what,
                  static_cast<unsigned>(status));
    return status;
}

NTSTATUS HartCreateSecondaryReadQueue(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    IoQueueConfig config;
    config.DispatchType = IoQueueDispatchType::Manual;
    config.EvtIoCanceledOnQueue = HartEvtIoCanceledOnQueueRead;
    return CreateQueue(device, config, &ctx->QueueReadSecondary, "ReadSecondaryQueueConfig"); // started
}

NTSTATUS HartCreateSecondaryWriteQueue(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    IoQueueConfig config;
    config.DispatchType = IoQueueDispatchType::Manual;
    config.EvtIoCanceledOnQueue = HartEvtIoCanceledOnQueueWrite;
    return CreateQueue(device, config, &ctx->QueueWriteSecondary, "WriteSecondaryQueueConfig");
}

} // namespace

NTSTATUS HartCreateReadWriteQueues(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    if (!ctx) {
        HartTrace(HART_TRACE_ERROR, "%s Error: Invalid parameter: pDeviceContext\n", __func__);
        return STATUS_INVALID_PARAMETER;
    }
    IoQueueConfig read;
    read.EvtIoRead = HartQueueEvtIoRead;
    NTSTATUS status = IoQueue::Create(device, read, {}, &ctx->QueueRead);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfIoQueueCreate for QueueRead queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = device->ConfigureRequestDispatching(ctx->QueueRead, RequestType::Read);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfDeviceConfigureRequestDispatching for Read queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    IoQueueConfig write;
    write.EvtIoWrite = HartQueueEvtIoWrite;
    status = IoQueue::Create(device, write, {}, &ctx->QueueWrite);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfIoQueueCreate for QueueWrite queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = device->ConfigureRequestDispatching(ctx->QueueWrite, RequestType::Write);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfDeviceConfigureRequestDispatching for Write queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = HartCreateSecondaryReadQueue(device, ctx);
    if (NT_SUCCESS(status)) status = HartCreateSecondaryWriteQueue(device, ctx);
    return status;
}

NTSTATUS HartCreateQueueIoctl(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    IoQueueConfig ioctl;
    ioctl.EvtIoDeviceControl = HartQueueEvtIoDeviceControl;
    NTSTATUS status = IoQueue::Create(device, ioctl, {}, &ctx->QueueIoctl);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfIoQueueCreate for IO Control queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = device->ConfigureRequestDispatching(ctx->QueueIoctl, RequestType::DeviceIoControl);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "WdfDeviceConfigureRequestDispatching for Ioctl Queue failed 0x%X\n",
                  static_cast<unsigned>(status));
    return status;
}

// A read: the buffered frame at once, or a wait in the secondary read queue until the next frame. The
// device lock is held across the decision, so that a frame delivered meanwhile cannot slip past.
void HartQueueEvtIoRead(WDFQUEUE queue, WDFREQUEST request, size_t) {
    HARTDEVICE_CONTEXT* ctx = ContextOf(queue);
    HartTrace(HART_TRACE_ENTRY, "%s >>>> Target: %s\n", __func__, ctx->TargetName.c_str());
    void* buffer;
    size_t length;
    NTSTATUS status = request->RetrieveOutputBuffer(1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestRetrieveOutputBuffer failed with Status: 0x%2X\n",
                  __func__, static_cast<unsigned>(status));
        return request->Complete(status);
    }
    auto lock = ctx->Lock();
    IoQueueState waiting = ctx->QueueReadSecondary->GetState();
    if (waiting.Idle() && ctx->DataLink->HasDeliveredFrame()) {
        auto copy = ctx->DataLink->ReadDeliveredFrame(std::span(static_cast<uint8_t*>(buffer), length));
        if (copy.Status == STATUS_CRC_ERROR) HartTrace(HART_TRACE_ERROR, "HART1: EVT_GOT_ERR!!!\n");
        return request->CompleteWithInformation(copy.Status, copy.Bytes);
    }
    status = request->ForwardToIoQueue(ctx->QueueReadSecondary);
    if (!NT_SUCCESS(status)) request->Complete(status);
}

// The write becomes PendingWriteRequest; the data link completes it when the exchange ends. The
// write queue is sequential: the next write is presented once this one is completed.
void HartQueueEvtIoWrite(WDFQUEUE queue, WDFREQUEST request, size_t) {
    HARTDEVICE_CONTEXT* ctx = ContextOf(queue);
    HartTrace(HART_TRACE_ENTRY, "%s >>>> Target: %s\n", __func__, ctx->TargetName.c_str());
    void* buffer;
    size_t length;
    NTSTATUS status = request->RetrieveInputBuffer(1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestRetrieveInputMemory failed with Status: 0x%2X\n",
                  __func__, static_cast<unsigned>(status));
        return request->Complete(status);
    }
    auto lock = ctx->Lock();
    if (ctx->PendingWriteRequest) return request->Complete(STATUS_DEVICE_BUSY);
    ctx->PendingWriteRequest = request;
    auto* bytes = static_cast<const uint8_t*>(buffer);
    ctx->WriteBuffer.assign(bytes, bytes + length);
    status = ctx->DataLink->AcceptWriteRequest(); // master mode: EVT_XMIT_REQ
    if (status != STATUS_PENDING) {
        // Slave mode transmits nothing: the write ends at once rather than waiting for ever.
        ctx->PendingWriteRequest.reset();
        ctx->WriteBuffer.clear();
        request->Complete(status);
    }
}

// A read waiting in the secondary queue was cancelled by its issuer (or purged): reception stops
// until the next write completes or the port is restarted.
void HartEvtIoCanceledOnQueueRead(WDFQUEUE queue, WDFREQUEST request) {
    HARTDEVICE_CONTEXT* ctx = ContextOf(queue);
    {
        auto lock = ctx->Lock();
        ctx->ReadingActive = false;
    }
    ctx->WorkItemRead->Flush();
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        if (ctx->ReadRequestToSerial && !ctx->ReadRequestToSerial->CancelSentRequest())
            HartTrace(HART_TRACE_ERROR, "WdfRequestCancelSentRequest failed!\n");
        target = ctx->IoTarget;
    }
    if (target && target->GetState() == IoTargetState::Started) HartPurgeSerialPort(target);
    request->Complete(STATUS_CANCELLED);
}

// Nothing is forwarded to the secondary write queue; a request that ever were is ended like a read.
void HartEvtIoCanceledOnQueueWrite(WDFQUEUE queue, WDFREQUEST request) {
    HARTDEVICE_CONTEXT* ctx = ContextOf(queue);
    ctx->WorkItemWrite->Flush();
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        if (ctx->WriteRequestToSerial) {
            bool wasSent = ctx->WriteRequestToSerial->CancelSentRequest();
            ctx->WriteRequestToSerial->Delete(); // its completion will not run: report the end here
            ctx->WriteRequestToSerial.reset();
            if (wasSent) ctx->DataLink->SerialWriteCompleted(STATUS_CANCELLED, 0);
        }
        target = ctx->IoTarget;
    }
    if (target && target->GetState() == IoTargetState::Started) HartPurgeSerialPort(target);
    request->Complete(STATUS_CANCELLED);
}

} // namespace zelhart::hartdriver
