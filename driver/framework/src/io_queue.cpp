#include "zelhart/drvfw/io_queue.h"

#include "zelhart/drvfw/device.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/request.h"
#include "zelhart/drvfw/trace.h"

#include <chrono>

namespace zelhart::drvfw {

IoQueue::IoQueue(Framework& fw, const WDFDEVICE& device, const IoQueueConfig& config,
                 const ObjectAttributes& attributes)
    : Object(fw, attributes, device), config_(config), device_(device) {}

NTSTATUS IoQueue::Create(const WDFDEVICE& device, const IoQueueConfig& config,
                         const ObjectAttributes& attributes, WDFQUEUE* out) {
    if (!device) return STATUS_INVALID_PARAMETER;
    bool hasHandler =
        config.EvtIoRead || config.EvtIoWrite || config.EvtIoDeviceControl || config.EvtIoDefault;
    if (config.DispatchType == IoQueueDispatchType::Sequential && !hasHandler)
        return STATUS_INVALID_PARAMETER;
    auto queue = std::make_shared<IoQueue>(device->framework(), device, config, attributes);
    if (NTSTATUS s = queue->AttachToParent(); !NT_SUCCESS(s)) return s;
    device->AddQueue(queue);
    // A power-managed queue created while the device sleeps starts with the device.
    if (!(config.PowerManaged && device->framework().IsSuspended())) queue->Start();
    *out = queue;
    return STATUS_SUCCESS;
}

void IoQueue::Start() {
    std::lock_guard lock(framework().ioLock());
    if (IsDeleted()) return;
    accepting_ = true;
    dispatching_ = true;
    ScheduleDispatchLocked();
}

void IoQueue::Stop() {
    std::lock_guard lock(framework().ioLock());
    dispatching_ = false;
}

void IoQueue::StopSynchronously() {
    Stop();
    WaitForDriverRequests("stop");
}

std::vector<WDFREQUEST> IoQueue::TakeAllLocked() {
    std::vector<WDFREQUEST> taken(items_.begin(), items_.end());
    items_.clear();
    for (auto& r : taken) {
        r->state_ = Request::State::DriverOwned;
        r->fromDispatch_ = false;
        r->cancelRequested_ = true;
        driverOwned_++;
    }
    return taken;
}

void IoQueue::Purge() {
    std::vector<WDFREQUEST> taken;
    std::vector<bool> delivered;
    {
        std::lock_guard lock(framework().ioLock());
        accepting_ = false;
        dispatching_ = false;
        for (auto& r : items_)
            delivered.push_back(r->delivered_);
        taken = TakeAllLocked();
        for (auto& r : taken)
            r->delivered_ = true;
    }
    auto self = std::static_pointer_cast<IoQueue>(shared_from_this());
    for (size_t i = 0; i < taken.size(); ++i)
        CancelTaken(taken[i], self, delivered[i]);
}

void IoQueue::PurgeSynchronously() {
    Purge();
    WaitForDriverRequests("purge");
}

void IoQueue::WaitForDriverRequests(const char* what) {
    std::unique_lock lock(framework().ioLock());
    bool idle = framework().ioChanged().wait_for(lock, std::chrono::milliseconds(kSynchronousWaitMs),
                                                 [&] { return driverOwned_ == 0; });
    if (!idle)
        FrameworkTrace(TraceLevel::Error, "queue %s: %u requests are still held by the driver", what,
                       driverOwned_);
}

NTSTATUS IoQueue::RetrieveNextRequest(WDFREQUEST* out) {
    std::lock_guard lock(framework().ioLock());
    if (!dispatching_) return STATUS_INVALID_DEVICE_STATE;
    if (items_.empty()) return STATUS_NO_MORE_ENTRIES;
    WDFREQUEST r = items_.front();
    items_.pop_front();
    r->state_ = Request::State::DriverOwned;
    r->delivered_ = true;
    r->fromDispatch_ = false;
    driverOwned_++;
    *out = r;
    return STATUS_SUCCESS;
}

IoQueueState IoQueue::GetState() const {
    std::lock_guard lock(framework().ioLock());
    return {accepting_, dispatching_, static_cast<uint32_t>(items_.size()), driverOwned_};
}

void IoQueue::EnqueueIncoming(const WDFREQUEST& request) {
    {
        std::lock_guard lock(framework().ioLock());
        if (accepting_ && !IsDeleted()) {
            request->state_ = Request::State::Queued;
            request->queue_ = std::static_pointer_cast<IoQueue>(shared_from_this());
            items_.push_back(request);
            ScheduleDispatchLocked();
            return;
        }
    }
    request->Complete(STATUS_INVALID_DEVICE_STATE);
}

void IoQueue::ScheduleDispatchLocked() {
    if (config_.DispatchType == IoQueueDispatchType::Manual || dispatchScheduled_ || !dispatching_ ||
        items_.empty() || dispatched_ > 0)
        return;
    dispatchScheduled_ = true;
    auto self = std::static_pointer_cast<IoQueue>(shared_from_this());
    framework().loop().Post([self] { self->DispatchPending(); });
}

void IoQueue::DispatchPending() {
    for (;;) {
        WDFREQUEST r;
        {
            std::lock_guard lock(framework().ioLock());
            dispatchScheduled_ = false;
            if (!dispatching_ || items_.empty() || dispatched_ > 0 || IsDeleted()) return;
            r = items_.front();
            items_.pop_front();
            r->state_ = Request::State::DriverOwned;
            r->delivered_ = true;
            r->fromDispatch_ = true;
            driverOwned_++;
            dispatched_++;
        }
        Deliver(r);
    }
}

void IoQueue::Deliver(const WDFREQUEST& r) {
    auto self = std::static_pointer_cast<IoQueue>(shared_from_this());
    auto keep = KeepAlive();
    const RequestParameters& p = r->params_;
    switch (p.Type) {
    case RequestType::Read:
        if (config_.EvtIoRead) return config_.EvtIoRead(self, r, p.Length);
        break;
    case RequestType::Write:
        if (config_.EvtIoWrite) return config_.EvtIoWrite(self, r, p.Length);
        break;
    case RequestType::DeviceIoControl:
        if (config_.EvtIoDeviceControl)
            return config_.EvtIoDeviceControl(self, r, p.OutputBufferLength, p.InputBufferLength,
                                              p.IoControlCode);
        break;
    default:
        break;
    }
    if (config_.EvtIoDefault) return config_.EvtIoDefault(self, r);
    r->Complete(STATUS_INVALID_DEVICE_REQUEST);
}

void IoQueue::CancelRequest(const WDFREQUEST& request) {
    WDFQUEUE queue;
    bool delivered;
    {
        std::lock_guard lock(request->framework().ioLock());
        if (request->state_ == Request::State::Completed) return;
        request->cancelRequested_ = true;
        if (request->state_ != Request::State::Queued || !request->queue_) return; // the driver holds it
        queue = request->queue_;
        auto& items = queue->items_;
        for (auto it = items.begin(); it != items.end(); ++it)
            if (*it == request) {
                items.erase(it);
                break;
            }
        request->state_ = Request::State::DriverOwned;
        request->fromDispatch_ = false;
        delivered = request->delivered_;
        request->delivered_ = true;
        queue->driverOwned_++;
    }
    CancelTaken(request, queue, delivered);
}

void IoQueue::CancelTaken(const WDFREQUEST& request, const WDFQUEUE& queue, bool delivered) {
    if (delivered && queue->config_.EvtIoCanceledOnQueue && !queue->IsDeleted()) {
        auto keep = queue->KeepAlive();
        queue->config_.EvtIoCanceledOnQueue(queue, request);
    } else {
        request->Complete(STATUS_CANCELLED);
    }
}

void IoQueue::OnDelete() {
    // A deleted queue's requests complete as cancelled; the driver is not called for them any more.
    std::vector<WDFREQUEST> taken;
    {
        std::lock_guard lock(framework().ioLock());
        accepting_ = false;
        dispatching_ = false;
        taken = TakeAllLocked();
    }
    for (auto& r : taken)
        r->Complete(STATUS_CANCELLED);
}

} // namespace zelhart::drvfw
