// A HART device's handle (open, cleanup, close), the removal of its serial port, and its part of
// self-managed I/O suspend and restart.
#include "contexts.h"
#include "hart_trace.h"

namespace zelhart::hartdriver {
namespace {

// Cleanup and close run the same tear-down; the second run finds absent what the first released.
void HartTearDownHandle(HARTDEVICE_CONTEXT* ctx) {
    {
        auto lock = ctx->Lock();
        if (ctx->TimerEnabled) HartTrace(HART_TRACE_DETAIL, "WdfTimerStop Succeeded!\n");
        ctx->DisableTimer(); // without waiting
        ctx->ReadingActive = false;
    }
    ctx->WorkItemRead->Flush();
    ctx->WorkItemWrite->Flush();
    {
        auto lock = ctx->Lock();
        if (ctx->ReadRequestToSerial) {
            if (ctx->ReadRequestToSerial->CancelSentRequest())
                HartTrace(HART_TRACE_DETAIL, "****** Cancelled pDeviceContext->ReadRequestToSerial\n");
            HartTrace(HART_TRACE_DETAIL, "Deleting pDeviceContext->ReadRequestToSerial....\n");
            ctx->ReadRequestToSerial->Delete();
            ctx->ReadRequestToSerial.reset();
        }
        if (ctx->WriteRequestToSerial) {
            HartTrace(HART_TRACE_DETAIL, "Deleting pDeviceContext->WriteRequestToSerial....\n");
            ctx->WriteRequestToSerial->Delete();
            ctx->WriteRequestToSerial.reset();
        }
    }
    // Waiting reads end with STATUS_CANCELLED (their cancel callback takes the device lock itself).
    ctx->QueueReadSecondary->PurgeSynchronously();
    ctx->QueueWriteSecondary->PurgeSynchronously();
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        // Countdowns cleared, queued transmit requests removed, a pending write completed with
        // STATUS_CANCELLED (no port will carry it), receiver reset, EVT_STARTUP.
        ctx->DataLink->OnCleanupOrClose();
        ctx->RestartPending = ctx->WriteAfterRestart = false;
        target.swap(ctx->IoTarget);
        ctx->PnpEvent.reset();
    }
    if (target) {
        if (target->GetState() == IoTargetState::Started) target->Close();
        target->Delete();
    }
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

// Port removal, first half: the serial requests cancelled and deleted, the waiting reads and the
// pending write completed with STATUS_CANCELLED, the queues stopped and purged.
void CancelEverythingForRemoval(HARTDEVICE_CONTEXT* ctx) {
    {
        auto lock = ctx->Lock();
        bool writePending = ctx->PendingWriteRequest != nullptr;
        HartTrace(HART_TRACE_DETAIL, "ResetPortDataReceiverFsm >>>\n");
        HartTrace(HART_TRACE_DETAIL, "FsmMasterProcessEvent EVT_STARTUP >>>\n");
        ctx->DataLink->OnPortRemoved(); // receiver reset, EVT_STARTUP, the pending write cancelled
        if (writePending) HartTrace(HART_TRACE_DETAIL, "Completed pDeviceContext->PendingWriteRequest\n");
        ctx->ReadingActive = false;
        ctx->RestartPending = ctx->WriteAfterRestart = false;
    }
    ctx->QueueRead->Stop();
    ctx->QueueWrite->Stop();
    ctx->QueueIoctl->Stop();
    ctx->QueueReadSecondary->PurgeSynchronously();
    {
        auto lock = ctx->Lock();
        if (ctx->ReadRequestToSerial) {
            if (!ctx->ReadRequestToSerial->CancelSentRequest())
                HartTrace(HART_TRACE_ERROR, "WdfRequestCancelSentRequest ReadRequestToSerial failed!\n");
            ctx->ReadRequestToSerial->Delete();
            ctx->ReadRequestToSerial.reset();
        }
        if (ctx->WriteRequestToSerial) {
            if (ctx->WriteRequestToSerial->CancelSentRequest())
                HartTrace(HART_TRACE_DETAIL,
                          "WdfRequestCancelSentRequest pDeviceContext->WriteRequestToSerial SUCCESS!\n");
            else
                HartTrace(HART_TRACE_ERROR,
                          "WdfRequestCancelSentRequest pDeviceContext->WriteRequestToSerial failed!\n");
            ctx->WriteRequestToSerial->Delete();
            ctx->WriteRequestToSerial.reset();
        }
    }
    ctx->QueueIoctl->PurgeSynchronously();
    ctx->QueueRead->Purge();
    {
        auto lock = ctx->Lock();
        WDFREQUEST pending;
        NTSTATUS status;
        while (NT_SUCCESS(status = ctx->QueueReadSecondary->RetrieveNextRequest(&pending))) {
            pending->Complete(STATUS_CANCELLED);
            HartTrace(HART_TRACE_DETAIL, "Completed Pending READ Request\n");
        }
        HartTrace(HART_TRACE_DETAIL, status == STATUS_NO_MORE_ENTRIES
                                         ? "PendingRequest is NULL\n"
                                         : "Failed to retrieve the next read request from secondary queue\n");
    }
    HartTrace(HART_TRACE_DETAIL, "WdfIoQueuePurgeSynchronously - pDeviceContext->QueueWrite >>>>>>.\n");
    ctx->QueueWrite->Purge();
    HartTrace(HART_TRACE_DETAIL, "WdfIoQueuePurgeSynchronously - pDeviceContext->QueueWrite <<<<<<.\n");
}

// Port removal, second half: the HART device joins the clean-up work item's list.
void QueueForDeletion(HARTDEVICE_CONTEXT* ctx, const WDFDEVICE& device, const WDFDEVICE& mainDevice) {
    DEVICE_CONTEXT* mainCtx = DeviceGetContext(mainDevice);
    DRIVER_CONTEXT* dctx = DriverGetContext(device->GetDriver());
    if (!dctx || !mainCtx || !mainCtx->CleanupWorkItem) return;
    std::lock_guard lock(*dctx->HartDevicesLock);
    for (size_t i = 0; i < dctx->HartDevices->GetCount(); ++i) {
        WDFDEVICE hart = dctx->HartDevices->GetItem(i);
        if (HartDeviceGetContext(hart) != ctx) continue;
        CLEANUP_WORKITEM_CONTEXT* item = CleanupWorkItemGetContext(mainCtx->CleanupWorkItem);
        item->MainDevice = mainDevice;
        item->HartDevicesToDelete.push_back(hart);
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
    {
        auto lock = ctx->Lock();
        ctx->DisableTimer();
    }
    ctx->Timer->Stop(true);
    HartTrace(HART_TRACE_DETAIL, "Timer stopped successfully!\n\n");
    CancelEverythingForRemoval(ctx);
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

// Self-managed I/O suspend of one HART device whose port is open.
void HartSuspendDevice(HARTDEVICE_CONTEXT* ctx) {
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        if (!ctx->IoTarget) return;
        target = ctx->IoTarget;
        ctx->ReadingActive = false;
        ctx->DisableTimer();
    }
    ctx->Timer->Stop(true);
    ctx->WorkItemRead->Flush();
    ctx->WorkItemWrite->Flush();
    ctx->WorkItemTriggerTx->Flush();
    target->Stop(IoTargetSentIoAction::CancelSentIo);
    ctx->QueueWriteSecondary->Purge();
    ctx->QueueIoctl->Purge();
    auto lock = ctx->Lock();
    for (WDFREQUEST* r : {&ctx->ReadRequestToSerial, &ctx->WriteRequestToSerial})
        if (*r) {
            (*r)->CancelSentRequest();
            (*r)->Delete();
            r->reset();
        }
    ctx->RestartPending = ctx->WriteAfterRestart = false;
    ctx->DataLink->OnSuspend(); // receiver reset, EVT_SUSPEND
}

// Self-managed I/O restart: 2 s later EVT_RESTART asks for the port restart work item.
void HartRestartDevice(HARTDEVICE_CONTEXT* ctx) {
    auto lock = ctx->Lock();
    if (!ctx->IoTarget) return;
    ctx->DataLink->OnResume(); // BA, BG, Q stopped, timer events cleared, restart countdown 200
    ctx->EnableTimer();        // started with a 10 ms due time as the entry ends
}

} // namespace zelhart::hartdriver
