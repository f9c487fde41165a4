// WDFQUEUE: the I/O queues of a device.
//
// Sequential: one request at a time is delivered to the driver's handler (on the event loop); the next
// one after the driver has completed or forwarded it. Manual: requests wait until the driver retrieves
// them (RetrieveNextRequest, from any thread).
//
// Stop: requests are accepted and kept, not delivered. Purge: requests are no longer accepted (new
// ones complete with STATUS_INVALID_DEVICE_STATE) and every waiting one is cancelled. Start undoes both.
// A waiting request that is cancelled (by its caller, by closing the handle, by a purge) goes to the
// queue's EvtIoCanceledOnQueue if the driver has seen it before (it was forwarded here) and the queue
// has one; otherwise it completes with STATUS_CANCELLED. A request the driver holds is not
// cancellable; IsCanceled() tells the driver its caller gave up on it.
#pragma once

#include "zelhart/drvfw/object.h"

#include <deque>
#include <functional>

namespace zelhart::drvfw {

enum class IoQueueDispatchType { Sequential, Manual };

struct IoQueueConfig {
    IoQueueDispatchType DispatchType = IoQueueDispatchType::Sequential;
    bool PowerManaged = false; // stopped while the device is suspended
    bool DefaultQueue = false; // receives every request type no other queue is configured for
    std::function<void(WDFQUEUE, WDFREQUEST, size_t length)> EvtIoRead;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t length)> EvtIoWrite;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t outputBufferLength, size_t inputBufferLength,
                       uint32_t ioControlCode)>
        EvtIoDeviceControl;
    std::function<void(WDFQUEUE, WDFREQUEST)> EvtIoDefault;
    std::function<void(WDFQUEUE, WDFREQUEST)> EvtIoCanceledOnQueue;
};

struct IoQueueState {
    bool AcceptingRequests = false;
    bool DispatchingRequests = false;
    uint32_t QueueRequests = 0;  // waiting in the queue
    uint32_t DriverRequests = 0; // delivered by it and not yet completed or forwarded
    bool Idle() const { return QueueRequests == 0 && DriverRequests == 0; }
};

class IoQueue : public Object {
  public:
    // How long the synchronous Stop and Purge wait for requests the driver still holds.
    static constexpr int kSynchronousWaitMs = 5000;

    static NTSTATUS Create(const WDFDEVICE& device, const IoQueueConfig& config,
                           const ObjectAttributes& attributes, WDFQUEUE* out);

    void Start();
    void Stop();
    // Stop, then wait until the driver holds no request of this queue.
    void StopSynchronously();
    // Cancel callbacks run on the calling thread: do not hold a lock they take.
    void Purge();
    // Purge, then wait until the driver holds no request of this queue.
    void PurgeSynchronously();
    // Manual queues: the oldest waiting request. STATUS_NO_MORE_ENTRIES when none waits,
    // STATUS_INVALID_DEVICE_STATE when the queue is stopped or purged.
    NTSTATUS RetrieveNextRequest(WDFREQUEST* out);
    IoQueueState GetState() const;
    WDFDEVICE GetDevice() const { return device_.lock(); }
    const IoQueueConfig& config() const { return config_; }

    IoQueue(Framework& fw, const WDFDEVICE& device, const IoQueueConfig& config,
            const ObjectAttributes& attributes);

    // Framework-internal: a caller's request arrives; a caller cancels one.
    void EnqueueIncoming(const WDFREQUEST& request);
    static void CancelRequest(const WDFREQUEST& request);

  private:
    friend class Request;

    void OnDelete() override;
    void ScheduleDispatchLocked();
    void DispatchPending();
    void Deliver(const WDFREQUEST& request);
    void WaitForDriverRequests(const char* what);
    std::vector<WDFREQUEST> TakeAllLocked();
    static void CancelTaken(const WDFREQUEST& request, const WDFQUEUE& queue, bool delivered);

    IoQueueConfig config_;
    std::weak_ptr<Device> device_;
    // Guarded by the framework's I/O lock.
    bool accepting_ = true;
    bool dispatching_ = false; // until Create starts the queue
    bool dispatchScheduled_ = false;
    std::deque<WDFREQUEST> items_;
    uint32_t driverOwned_ = 0;
    uint32_t dispatched_ = 0;
};

} // namespace zelhart::drvfw
