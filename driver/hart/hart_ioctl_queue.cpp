// HartQueueEvtIoDeviceControl: the I/O control codes of a HART device.
#include "contexts.h"
#include "hart_trace.h"
#include "zelhart/hart_ioctl.h"

#include <cstring>

namespace zelhart::hartdriver {
namespace {

NTSTATUS RetrieveInput(const WDFREQUEST& request, size_t minimum, const char* code, void** buffer) {
    NTSTATUS status = request->RetrieveInputBuffer(minimum, buffer, nullptr);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "%s Error: Failed to retrieve Input buffer with status: 0x%X\n", code,
                  static_cast<unsigned>(status));
    return status;
}

NTSTATUS RetrieveOutput(const WDFREQUEST& request, size_t minimum, const char* code, void** buffer) {
    NTSTATUS status = request->RetrieveOutputBuffer(minimum, buffer, nullptr);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "%s Error: Failed to retrieve Output buffer with status: 0x%X\n", code,
                  static_cast<unsigned>(status));
    return status;
}

void IoctlRequestToSerialPortCompletionRoutine(WDFREQUEST request, WDFIOTARGET,
                                               const RequestCompletionParams& params, void*) {
    if (NT_SUCCESS(params.Status)) HartTrace(HART_TRACE_DETAIL, "Ioctl to Serial Port succeeded...\n");
    HartTrace(HART_TRACE_DETAIL, "%s Status: 0x%X\n", __func__, static_cast<unsigned>(params.Status));
    request->Delete();
}

// IOCTL_HART_SET_BAUD_RATE: handed to the serial port without waiting; the rate lasts until the port
// is opened again.
void SetBaudRate(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    constexpr const char* kFn = "HartQueueEvtIoDeviceControl";
    void* in;
    if (NTSTATUS s = RetrieveInput(request, sizeof(uint32_t), "IOCTL_HART_SET_BAUD_RATE", &in);
        !NT_SUCCESS(s))
        return request->Complete(s);
    uint32_t rate;
    std::memcpy(&rate, in, sizeof(rate));
    HartTrace(HART_TRACE_DETAIL, "%s Set %s to Baudrate: %u\n", kFn, ctx->TargetName.c_str(), rate);
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        target = ctx->IoTarget;
    }
    if (!target || target->GetState() != IoTargetState::Started) {
        HartTrace(HART_TRACE_ERROR, "%s Error: IoTarget is not in Ready state\n", kFn);
        return request->Complete(STATUS_DEVICE_NOT_READY);
    }
    ObjectAttributes attributes;
    attributes.ParentObject = device;
    WDFREQUEST forwarded;
    NTSTATUS status = Request::Create(attributes, target, &forwarded);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestCreate failed with Status: 0x%X\n", kFn,
                  static_cast<unsigned>(status));
        return request->Complete(status);
    }
    WDFMEMORY memory;
    status = Memory::Create(sizeof(rate), &memory);
    if (NT_SUCCESS(status)) {
        memory->CopyFromBuffer(0, &rate, sizeof(rate));
    } else {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfMemoryCreate failed with Status: 0x%X\n", kFn,
                  static_cast<unsigned>(status));
        forwarded->Delete();
        return request->Complete(status);
    }
    status = target->FormatRequestForIoctl(forwarded, IOCTL_SERIAL_SET_BAUD_RATE, memory, nullptr);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR,
                  "%s Error: WdfIoTargetFormatRequestForIoctl (IOCTL Code: 0x%X)failed with Status: 0x%X\n",
                  kFn, IOCTL_SERIAL_SET_BAUD_RATE, static_cast<unsigned>(status));
        forwarded->Delete();
        return request->Complete(status);
    }
    forwarded->SetCompletionRoutine(IoctlRequestToSerialPortCompletionRoutine, nullptr);
    if (!forwarded->Send()) {
        status = forwarded->GetStatus();
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfRequestSend Failed with Status: 0x%X\n", kFn,
                  static_cast<unsigned>(status));
        forwarded->Delete();
        return request->Complete(status);
    }
    request->Complete(STATUS_SUCCESS);
}

void GetProtocol(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void *in, *out;
    if (NTSTATUS s = RetrieveInput(request, sizeof(HartProtocolInfo), "IOCTL_HART_GET_PROTOCOL", &in);
        !NT_SUCCESS(s))
        return request->Complete(s);
    if (NTSTATUS s = RetrieveOutput(request, sizeof(HartProtocolInfo), "IOCTL_HART_GET_PROTOCOL", &out);
        !NT_SUCCESS(s))
        return request->Complete(s);
    datalink::ProtocolSettings p;
    {
        auto lock = ctx->Lock();
        p = ctx->DataLink->GetProtocol();
    }
    HartProtocolInfo info;
    info.StateMachineMode = p.StateMachineMode;
    info.MasterType = p.MasterType;
    info.RetryCount = p.RetryCount;
    std::memcpy(out, &info, sizeof(info));
    HartTrace(HART_TRACE_DETAIL, "pDeviceContext->HartProtocolInfo.MasterType: 0x%02X\n", info.MasterType);
    HartTrace(HART_TRACE_DETAIL, "pDeviceContext->HartProtocolInfo.RetryCount: 0x%02X\n", info.RetryCount);
    HartTrace(HART_TRACE_DETAIL, "pDeviceContext->HartProtocolInfo.StateMachineMode: 0x%04X\n",
              info.StateMachineMode);
    request->CompleteWithInformation(STATUS_SUCCESS, sizeof(info));
}

void SetProtocol(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void* in;
    if (NTSTATUS s = RetrieveInput(request, sizeof(HartProtocolInfo), "IOCTL_HART_SET_PROTOCOL", &in);
        !NT_SUCCESS(s))
        return request->Complete(s);
    HartProtocolInfo info;
    std::memcpy(&info, in, sizeof(info));
    {
        auto lock = ctx->Lock();
        ctx->DataLink->SetProtocol({info.StateMachineMode, info.MasterType, info.RetryCount});
    }
    request->CompleteWithInformation(STATUS_SUCCESS, 0);
}

void GetReadMask(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void *in, *out;
    if (NTSTATUS s = RetrieveInput(request, 1, "IOCTL_HART_GET_READ_MASK", &in); !NT_SUCCESS(s))
        return request->Complete(s);
    if (NTSTATUS s = RetrieveOutput(request, 1, "IOCTL_HART_GET_READ_MASK", &out); !NT_SUCCESS(s))
        return request->Complete(s);
    uint8_t mask;
    {
        auto lock = ctx->Lock();
        mask = ctx->DataLink->ReadMask();
    }
    *static_cast<uint8_t*>(out) = mask;
    HartTrace(HART_TRACE_DETAIL, "pDeviceContext->HartProtocolInfo.Rcv_Mask: 0x%02X\n", mask);
    request->CompleteWithInformation(STATUS_SUCCESS, 1);
}

void SetReadMask(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void* in;
    if (NTSTATUS s = RetrieveInput(request, 1, "IOCTL_HART_SET_READ_MASK", &in); !NT_SUCCESS(s))
        return request->Complete(s);
    uint8_t mask = *static_cast<const uint8_t*>(in);
    {
        auto lock = ctx->Lock();
        ctx->DataLink->SetReadMask(mask);
    }
    HartTrace(HART_TRACE_DETAIL, "pDeviceContext->HartProtocolInfo.Rcv_Mask: 0x%02X\n", mask);
    request->CompleteWithInformation(STATUS_SUCCESS, 0);
}

void Subscribe(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void* in = nullptr;
    size_t length = 0;
    if (!NT_SUCCESS(request->RetrieveInputBuffer(0, &in, &length)) || length < sizeof(uint32_t)) {
        HartTrace(HART_TRACE_ERROR, "System buffer size is too small\n");
        return request->Complete(STATUS_INVALID_PARAMETER);
    }
    uint32_t handle;
    std::memcpy(&handle, in, sizeof(handle));
    PKEVENT event;
    NTSTATUS status = request->ReferenceEventByHandle(handle, &event);
    if (NT_SUCCESS(status)) {
        auto lock = ctx->Lock();
        ctx->PnpEvent = std::move(event); // an earlier subscription's reference is released
        HartTrace(HART_TRACE_DETAIL, "SUCCESS!!!!\n");
    } else {
        HartTrace(HART_TRACE_ERROR, "FAILED!!!! Status: 0x%2X\n", static_cast<unsigned>(status));
    }
    request->Complete(STATUS_SUCCESS);
}

void Unsubscribe(HARTDEVICE_CONTEXT* ctx, const WDFREQUEST& request) {
    void* in;
    if (NTSTATUS s = RetrieveInput(request, 1, "IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE", &in);
        !NT_SUCCESS(s))
        return request->Complete(s);
    PKEVENT event;
    {
        auto lock = ctx->Lock();
        event.swap(ctx->PnpEvent);
    }
    request->Complete(event ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

} // namespace

void HartQueueEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, uint32_t ioControlCode) {
    WDFDEVICE device = queue->GetDevice();
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    switch (ioControlCode) {
    case IOCTL_HART_SET_BAUD_RATE:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_SET_BAUD_RATE 0x%X\n", ioControlCode);
        return SetBaudRate(device, ctx, request);
    case IOCTL_HART_GET_PROTOCOL:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_GET_PROTOCOL 0x%X\n", ioControlCode);
        return GetProtocol(ctx, request);
    case IOCTL_HART_SET_PROTOCOL:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_SET_PROTOCOL 0x%X\n", ioControlCode);
        return SetProtocol(ctx, request);
    case IOCTL_HART_GET_READ_MASK:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_GET_READ_MASK 0x%X\n", ioControlCode);
        return GetReadMask(ctx, request);
    case IOCTL_HART_SET_READ_MASK:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_SET_READ_MASK 0x%X\n", ioControlCode);
        return SetReadMask(ctx, request);
    case IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE 0x%X\n", ioControlCode);
        return Subscribe(ctx, request);
    case IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE 0x%X\n", ioControlCode);
        return Unsubscribe(ctx, request);
    default:
        HartTrace(HART_TRACE_ERROR, "%s Error - Unknown IOCTL...\n", __func__);
        return request->Complete(STATUS_NOT_SUPPORTED);
    }
}

} // namespace zelhart::hartdriver
