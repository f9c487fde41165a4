// Stopping a HART device, for each reason it stops, and starting its queues again.
//
// Four events stop a HART device: its handle closes, the function device suspends, its serial port
// goes away, or the device itself is deleted. They share most of the work and differ in a few
// columns, which the table below puts side by side. Every stop disables the 10 ms timer, ends the
// read loop, forgets a queued port restart, waits for the three work items and cancels and deletes
// the serial requests; the columns say what else it does.
//
// Whatever a stop leaves stopped or purged, HartStartQueues starts again, and an open of the device
// begins with it: a handle closed while the device was suspended (whose control queue the suspend
// purged) opens again with every queue serving.
#include "contexts.h"
#include "hart_trace.h"

#include <array>

namespace zelhart::hartdriver {
namespace {

enum class QueueStep : uint8_t {
    Keep,      // left as it is
    Purge,     // stopped at once, its waiting requests cancelled later on; no new ones accepted
    PurgeWait, // the same, then wait until the driver holds none of its requests
};

enum class TargetStep : uint8_t {
    Leave,   // the port stays as it is (removal: closed once the device is queued for deletion)
    StopIo,  // stopped, the requests sent to it cancelled; the restart after resume reopens it
    Release, // closed and deleted, IoTarget cleared
};

enum class LinkStep : uint8_t {
    Close,   // countdowns cleared, transmit requests removed, pending write cancelled, EVT_STARTUP
    Suspend, // receiver reset, EVT_SUSPEND: the master waits in STATE_BUS_RESTART
    Removed, // receiver reset, EVT_STARTUP, pending write cancelled
};

struct StopPlan {
    bool onlyWithPort;   // a device whose port is not open has nothing to stop
    bool waitForTick;    // wait for a tick under way on another thread
    QueueStep readWrite; // QueueRead and QueueWrite
    QueueStep ioctl;     // QueueIoctl
    QueueStep readSecondary;
    QueueStep writeSecondary;
    TargetStep target;
    LinkStep link;
    bool dropPnpEvent; // the subscription ends (removal signals it instead, after the stop)
    bool suspended;    // the device is left suspended: the next resume restarts it
};

using enum QueueStep;
using enum TargetStep;
using Link = LinkStep;

// clang-format off
constexpr std::array<StopPlan, 4> kPlans{{
    //                   port   tick   read/write ioctl      2nd read   2nd write  target   link           pnp    suspended
    /* HandleClosed  */ {false, false, Keep,      Keep,      PurgeWait, PurgeWait, Release, Link::Close,   true,  false},
    /* Suspend       */ {true,  true,  Keep,      Purge,     Keep,      Purge,     StopIo,  Link::Suspend, false, true},
    /* PortRemoved   */ {false, true,  Purge,     PurgeWait, PurgeWait, Keep,      Leave,   Link::Removed, false, false},
    /* DeviceDeleted */ {false, true,  Keep,      Keep,      PurgeWait, Keep,      Release, Link::Close,   true,  false},
}};
// clang-format on

static_assert(kPlans.size() == static_cast<size_t>(HartStopReason::DeviceDeleted) + 1);

void StopQueue(const WDFQUEUE& queue, QueueStep step) {
    if (queue && step != Keep) queue->Stop();
}

// Cancel callbacks of the purged requests run here and take the device's lock themselves.
void PurgeQueue(const WDFQUEUE& queue, QueueStep step) {
    if (!queue || step == Keep) return;
    if (step == PurgeWait)
        queue->PurgeSynchronously();
    else
        queue->Purge();
}

// DataLinkLock held.
void CancelSerialRequests(HARTDEVICE_CONTEXT* ctx) {
    if (WDFREQUEST& read = ctx->ReadRequestToSerial) {
        if (read->CancelSentRequest())
            HartTrace(HART_TRACE_DETAIL, "****** Cancelled pDeviceContext->ReadRequestToSerial\n");
        HartTrace(HART_TRACE_DETAIL, "Deleting pDeviceContext->ReadRequestToSerial....\n");
        read->Delete();
        read.reset();
    }
    if (WDFREQUEST& write = ctx->WriteRequestToSerial) {
        write->CancelSentRequest(); // a deleted request's completion does not run
        HartTrace(HART_TRACE_DETAIL, "Deleting pDeviceContext->WriteRequestToSerial....\n");
        write->Delete();
        write.reset();
    }
}

// DataLinkLock held.
void RunLinkStep(HARTDEVICE_CONTEXT* ctx, LinkStep step) {
    datalink::HartDataLink* link = ctx->DataLink.get();
    if (!link) return;
    switch (step) {
    case LinkStep::Close:
        link->OnCleanupOrClose();
        break;
    case LinkStep::Suspend:
        link->OnSuspend();
        break;
    case LinkStep::Removed: {
        bool writePending = ctx->PendingWriteRequest != nullptr;
        HartTrace(HART_TRACE_DETAIL, "ResetPortDataReceiverFsm >>>\n");
        HartTrace(HART_TRACE_DETAIL, "FsmMasterProcessEvent EVT_STARTUP >>>\n");
        link->OnPortRemoved();
        if (writePending) HartTrace(HART_TRACE_DETAIL, "Completed pDeviceContext->PendingWriteRequest\n");
        break;
    }
    }
}

} // namespace

void HartStopDevice(HARTDEVICE_CONTEXT* ctx, HartStopReason reason) {
    const StopPlan& plan = kPlans[static_cast<size_t>(reason)];
    WDFIOTARGET target;
    {
        auto lock = ctx->Lock();
        if (plan.onlyWithPort && !ctx->IoTarget) return;
        target = ctx->IoTarget;
        if (ctx->TimerEnabled && reason == HartStopReason::HandleClosed)
            HartTrace(HART_TRACE_DETAIL, "WdfTimerStop Succeeded!\n");
        ctx->DisableTimer();
        ctx->ReadingActive = false;
        ctx->RestartPending = ctx->WriteAfterRestart = false;
        ctx->Suspended = false;
    }
    if (plan.waitForTick && ctx->Timer) {
        ctx->Timer->Stop(true);
        if (reason == HartStopReason::PortRemoved)
            HartTrace(HART_TRACE_DETAIL, "Timer stopped successfully!\n\n");
    }
    for (const WDFWORKITEM& item : {ctx->WorkItemRead, ctx->WorkItemWrite, ctx->WorkItemTriggerTx})
        if (item) item->Flush();
    if (plan.target == StopIo && target) target->Stop(IoTargetSentIoAction::CancelSentIo);

    // Nothing new is dispatched from here on; then the waiting requests end.
    StopQueue(ctx->QueueRead, plan.readWrite);
    StopQueue(ctx->QueueWrite, plan.readWrite);
    StopQueue(ctx->QueueIoctl, plan.ioctl);
    {
        auto lock = ctx->Lock();
        CancelSerialRequests(ctx);
    }
    PurgeQueue(ctx->QueueReadSecondary, plan.readSecondary); // waiting reads end with STATUS_CANCELLED
    PurgeQueue(ctx->QueueWriteSecondary, plan.writeSecondary);
    PurgeQueue(ctx->QueueIoctl, plan.ioctl);
    PurgeQueue(ctx->QueueRead, plan.readWrite);
    PurgeQueue(ctx->QueueWrite, plan.readWrite);

    WDFIOTARGET released;
    {
        auto lock = ctx->Lock();
        RunLinkStep(ctx, plan.link);
        if (plan.dropPnpEvent) ctx->PnpEvent.reset();
        if (plan.target == Release) released.swap(ctx->IoTarget);
        ctx->Suspended = plan.suspended;
    }
    if (released) {
        if (released->GetState() == IoTargetState::Started) released->Close();
        released->Delete();
    }
}

void HartStartQueues(HARTDEVICE_CONTEXT* ctx) {
    for (const WDFQUEUE& queue : {ctx->QueueRead, ctx->QueueWrite, ctx->QueueIoctl, ctx->QueueReadSecondary,
                                  ctx->QueueWriteSecondary})
        if (queue) queue->Start();
}

} // namespace zelhart::hartdriver
