// A HART device's handle (open, cleanup, close), the removal of its serial port, and its part of
// self-managed I/O suspend and restart.
#include "contexts.h"
#include "hart_trace.h"

namespace zelhart::hartdriver {
namespace {

// Cleanup and close run the same tear-down; the second run finds absent what the first released.
void HartTearDownHandle(HARTDEVICE_CONTEXT* ctx) {
    HartStopDevice(ctx, HartStopReason::HandleClosed);
    int32_t count = ctx->lOpenedFileHandleCount.load();
    while (count > 0 && !ctx->lOpenedFileHandleCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count > 0)
        HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", __func__,
                  count - 1);
}

} // namespace

void HartEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT) {
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    if (ctx->lOpenedFileHandleCount.load() > 0) {
        HartTrace(HART_TRACE_ERROR, "pDeviceContext->lOpenedFileHandleCount > 0\n");
        return request->Complete(STATUS_OPEN_FAILED);
    }
    int32_t count = ++ctx->lOpenedFileHandleCount;
    HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", __func__, count);
    NTSTATUS status = HartOpenSerialPort(device, ctx);
    if (!NT_SUCCESS(status)) {
        ctx->lOpenedFileHandleCount = 0;
        return request->Complete(status);
    }
    request->Complete(STATUS_SUCCESS);
}

void HartEvtFileCleanup(WDFFILEOBJECT file) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    HartTearDownHandle(HartDeviceGetContext(file->GetDevice()));
}

void HartEvtFileClose(WDFFILEOBJECT file) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    HartTearDownHandle(HartDeviceGetContext(file->GetDevice()));
}

namespace {

// After the removal's stop: the HART device joins the clean-up work item's list.
void QueueForDeletion(HARTDEVICE_CONTEXT* ctx, const WDFDEVICE& device, const WDFDEVICE& mainDevice) {
    DEVICE_CONTEXT* mainCtx = DeviceGetContext(mainDevice);
    DRIVER_CONTEXT* dctx = DriverGetContext(device->GetDriver());
    if (!dctx || !mainCtx || !mainCtx->CleanupWorkItem) return;
    std::lock_guard lock(*dctx->HartDevicesLock);
    for (size_t i = 0; i < dctx->HartDevices->GetCount(); ++i) {
        WDFDEVICE hart = dctx->HartDevices->GetItem(i);
        if (HartDeviceGetContext(hart) != ctx) continue;
        // The item is the main device's own and knows it from its creation on: its worker reads that
        // without the lock, so it is never written here.
        CleanupWorkItemGetContext(mainCtx->CleanupWorkItem)->HartDevicesToDelete.push_back(hart);
    }
}

} // namespace

// The serial port under a HART device is gone: every request ends with STATUS_CANCELLED, the
// subscriber is told, and the clean-up work item deletes the HART device.
void HartEvtIoTargetRemoveComplete(WDFIOTARGET target) {
    HartTrace(HART_TRACE_ERROR, "%s >>>>>\n", __func__);
    WDFDEVICE device = target->GetDevice();
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    if (!ctx) return;
    HartStopDevice(ctx, HartStopReason::PortRemoved);
    WDFDEVICE mainDevice = ctx->MainDevice.lock();
    QueueForDeletion(ctx, device, mainDevice);
    target->Close();
    DEVICE_CONTEXT* mainCtx = DeviceGetContext(mainDevice);
    if (mainCtx && mainCtx->CleanupWorkItem) {
        PKEVENT event;
        {
            auto lock = ctx->Lock();
            event.swap(ctx->PnpEvent);
        }
        if (event) event->Set(); // once; the reference goes with it
        mainCtx->CleanupWorkItem->Enqueue();
    }
}

// Self-managed I/O suspend of one HART device: only one whose port is open has anything to suspend.
void HartSuspendDevice(HARTDEVICE_CONTEXT* ctx) {
    HartStopDevice(ctx, HartStopReason::Suspend);
}

// Self-managed I/O restart: 2 s later EVT_RESTART asks for the port restart work item. Only a device
// that took the suspend is resumed; one opened meanwhile runs as it is, with its countdowns untouched.
void HartRestartDevice(HARTDEVICE_CONTEXT* ctx) {
    auto lock = ctx->Lock();
    if (!ctx->Suspended) return;
    ctx->Suspended = false;
    ctx->DataLink->OnResume(); // BA, BG, Q stopped, timer events cleared, restart countdown 200
    ctx->EnableTimer();        // started with a 10 ms due time as the entry ends
}

} // namespace zelhart::hartdriver
