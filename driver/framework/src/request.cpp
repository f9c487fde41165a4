#include "zelhart/drvfw/request.h"

#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/io_queue.h"
#include "zelhart/drvfw/io_target.h"
#include "zelhart/drvfw/kevent.h"
#include "zelhart/drvfw/trace.h"

#include <algorithm>
#include <climits>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zelhart::drvfw {
namespace {

bool IsEventDescriptor(int fd) {
    char link[64];
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(path.c_str(), link, sizeof(link) - 1);
    if (n <= 0) return false;
    return std::string(link, static_cast<size_t>(n)) == "anon_inode:[eventfd]";
}

} // namespace

void KEvent::Set() const {
    uint64_t one = 1;
    (void)!::write(fd_.get(), &one, sizeof(one));
}

Request::Request(Framework& fw, const ObjectAttributes& attributes, const WDFOBJECT& parent)
    : Object(fw, attributes, parent) {}

NTSTATUS Request::Create(const ObjectAttributes& attributes, const WDFIOTARGET& target, WDFREQUEST* out) {
    Framework* fw = target                    ? &target->framework()
                    : attributes.ParentObject ? &attributes.ParentObject->framework()
                                              : nullptr;
    if (!fw) return STATUS_INVALID_PARAMETER;
    auto request = std::make_shared<Request>(*fw, attributes, attributes.ParentObject);
    request->defaultTarget_ = target;
    if (NTSTATUS s = request->AttachToParent(); !NT_SUCCESS(s)) return s;
    *out = request;
    return STATUS_SUCCESS;
}

NTSTATUS Request::RetrieveInputBuffer(size_t minimumRequired, void** buffer, size_t* length) {
    size_t available;
    if (!fromCaller_) return STATUS_INVALID_DEVICE_REQUEST;
    if (params_.Type == RequestType::Write)
        available = params_.Length;
    else if (params_.Type == RequestType::DeviceIoControl)
        available = params_.InputBufferLength;
    else
        return STATUS_INVALID_DEVICE_REQUEST;
    if (available == 0 || available < minimumRequired) return STATUS_BUFFER_TOO_SMALL;
    *buffer = buffer_.data();
    if (length) *length = available;
    return STATUS_SUCCESS;
}

NTSTATUS Request::RetrieveOutputBuffer(size_t minimumRequired, void** buffer, size_t* length) {
    size_t available;
    if (!fromCaller_) return STATUS_INVALID_DEVICE_REQUEST;
    if (params_.Type == RequestType::Read)
        available = params_.Length;
    else if (params_.Type == RequestType::DeviceIoControl)
        available = params_.OutputBufferLength;
    else
        return STATUS_INVALID_DEVICE_REQUEST;
    if (available == 0 || available < minimumRequired) return STATUS_BUFFER_TOO_SMALL;
    *buffer = buffer_.data();
    if (length) *length = available;
    return STATUS_SUCCESS;
}

void Request::Complete(NTSTATUS status) {
    size_t information;
    {
        std::lock_guard lock(framework().ioLock());
        information = information_;
    }
    CompleteWithInformation(status, information);
}

void Request::CompleteWithInformation(NTSTATUS status, size_t information) {
    if (!fromCaller_) {
        FrameworkTrace(TraceLevel::Error, "request: Complete on a request the driver created; ignored");
        return;
    }
    Framework& fw = framework();
    std::function<void(const WDFREQUEST&)> report;
    {
        std::lock_guard lock(fw.ioLock());
        if (state_ == State::Completed) {
            FrameworkTrace(TraceLevel::Error, "request: completed twice (status 0x%X); ignored",
                           static_cast<unsigned>(status));
            return;
        }
        if (queue_) {
            if (state_ == State::Queued) {
                auto& items = queue_->items_;
                items.erase(std::remove(items.begin(), items.end(), shared_from_this()), items.end());
            } else if (state_ == State::DriverOwned) {
                queue_->driverOwned_--;
                if (fromDispatch_) {
                    queue_->dispatched_--;
                    queue_->ScheduleDispatchLocked();
                }
            }
        }
        state_ = State::Completed;
        fromDispatch_ = false;
        status_ = status;
        information_ = information;
        report.swap(onComplete_);
    }
    fw.ioChanged().notify_all();
    if (report) {
        auto self = std::static_pointer_cast<Request>(shared_from_this());
        fw.loop().Post([self, report] { report(self); });
    }
}

void Request::SetInformation(size_t information) {
    std::lock_guard lock(framework().ioLock());
    information_ = information;
}

size_t Request::GetInformation() const {
    std::lock_guard lock(framework().ioLock());
    return information_;
}

NTSTATUS Request::GetStatus() const {
    if (fromCaller_) {
        std::lock_guard lock(framework().ioLock());
        return status_;
    }
    std::lock_guard lock(sendMutex_);
    return sendStatus_;
}

NTSTATUS Request::ForwardToIoQueue(const WDFQUEUE& queue) {
    if (!queue || !fromCaller_) return STATUS_INVALID_PARAMETER;
    auto self = std::static_pointer_cast<Request>(shared_from_this());
    bool cancelNow;
    {
        std::lock_guard lock(framework().ioLock());
        if (state_ != State::DriverOwned) return STATUS_INVALID_DEVICE_REQUEST;
        if (!queue->accepting_) return STATUS_INVALID_DEVICE_STATE;
        if (queue_) {
            queue_->driverOwned_--;
            if (fromDispatch_) {
                queue_->dispatched_--;
                queue_->ScheduleDispatchLocked();
            }
        }
        fromDispatch_ = false;
        state_ = State::Queued;
        queue_ = queue;
        queue->items_.push_back(self);
        queue->ScheduleDispatchLocked();
        cancelNow = cancelRequested_;
    }
    framework().ioChanged().notify_all();
    // Cancelled while the driver held it: the cancellation takes effect in the new queue, later.
    if (cancelNow) framework().loop().Post([self] { IoQueue::CancelRequest(self); });
    return STATUS_SUCCESS;
}

WDFQUEUE Request::GetIoQueue() const {
    std::lock_guard lock(framework().ioLock());
    return queue_;
}

bool Request::IsCanceled() const {
    std::lock_guard lock(framework().ioLock());
    return cancelRequested_;
}

NTSTATUS Request::ReferenceEventByHandle(uint32_t handle, PKEVENT* event) {
    if (!passedFd_ || handle != passedHandle_) return STATUS_INVALID_HANDLE;
    if (!IsEventDescriptor(passedFd_.get())) return STATUS_OBJECT_TYPE_MISMATCH;
    platform::UniqueFd copy(::fcntl(passedFd_.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    *event = std::make_shared<KEvent>(std::move(copy));
    return STATUS_SUCCESS;
}

void Request::SetCompletionRoutine(CompletionRoutine routine, void* context) {
    std::lock_guard lock(sendMutex_);
    routine_ = std::move(routine);
    routineContext_ = context;
}

bool Request::Send(const WDFIOTARGET& target) {
    WDFIOTARGET t = target;
    if (!t) {
        std::lock_guard lock(sendMutex_);
        t = defaultTarget_.lock();
    }
    if (!t || fromCaller_ || IsDeleted()) {
        std::lock_guard lock(sendMutex_);
        sendStatus_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    return t->SendRequest(std::static_pointer_cast<Request>(shared_from_this()));
}

bool Request::CancelSentRequest() {
    std::shared_ptr<IoTarget> target;
    {
        std::lock_guard lock(sendMutex_);
        if (sendState_ != SendState::Sent) return false;
        target = sentTo_.lock();
    }
    return target && target->CancelRequest(this);
}

void Request::GetCompletionParams(RequestCompletionParams* params) const {
    std::lock_guard lock(sendMutex_);
    *params = completion_;
}

NTSTATUS Request::Reuse(NTSTATUS status) {
    std::lock_guard lock(sendMutex_);
    if (sendState_ == SendState::Sent) return STATUS_INVALID_DEVICE_STATE;
    sendState_ = SendState::Idle;
    sendStatus_ = status;
    format_ = Format::None;
    input_ = output_ = nullptr;
    completion_ = {};
    return STATUS_SUCCESS;
}

void Request::RunCompletionRoutine(const WDFIOTARGET& target) {
    if (IsDeleted()) return;
    CompletionRoutine routine;
    void* context;
    RequestCompletionParams params;
    {
        std::lock_guard lock(sendMutex_);
        routine = routine_;
        context = routineContext_;
        params = completion_;
    }
    if (!routine) return;
    auto keep = KeepAlive();
    auto keepTarget = target->KeepAlive();
    routine(std::static_pointer_cast<Request>(shared_from_this()), target, params, context);
}

void Request::OnDelete() {
    std::shared_ptr<IoTarget> target;
    {
        std::lock_guard lock(sendMutex_);
        if (sendState_ == SendState::Sent) target = sentTo_.lock();
    }
    if (target) target->CancelRequest(this); // its completion routine will not run: the request is deleted
}

} // namespace zelhart::drvfw
