// WDFREQUEST: a request from a user-mode caller (create, read, write, device I/O control), or one the
// driver creates and sends to an I/O target.
//
// A caller's request is delivered to the driver by a queue; the driver completes it exactly once
// (Complete, from any thread), or forwards it to another queue. Completion is reported to the caller
// asynchronously; nothing of the driver runs inside Complete.
//
// A request the driver creates (Create) is formatted by an I/O target (FormatRequestForRead, ...) and
// sent with Send. Its completion routine always runs later on the event loop, never inside Send or
// CancelSentRequest, so the driver may hold its own lock around those calls. A deleted request's
// completion routine does not run.
#pragma once

#include "zelhart/drvfw/object.h"
#include "zelhart/platform/unique_fd.h"

#include <functional>
#include <vector>

namespace zelhart::drvfw {

// WDF_REQUEST_PARAMETERS, flattened.
struct RequestParameters {
    RequestType Type = RequestType::Other;
    size_t Length = 0;             // Read, Write
    size_t OutputBufferLength = 0; // DeviceIoControl
    size_t InputBufferLength = 0;  // DeviceIoControl
    uint32_t IoControlCode = 0;    // DeviceIoControl
};

// WDF_REQUEST_COMPLETION_PARAMS of a request sent to an I/O target.
struct RequestCompletionParams {
    RequestType Type = RequestType::Other;
    NTSTATUS Status = STATUS_SUCCESS;
    size_t Information = 0; // bytes read or written, IOCTL output bytes
    uint32_t IoControlCode = 0;
    WDFMEMORY Buffer; // the read buffer, the written buffer, or the IOCTL output
};

using CompletionRoutine = std::function<void(WDFREQUEST request, WDFIOTARGET target,
                                             const RequestCompletionParams& params, void* context)>;

class Request : public Object {
  public:
    // WdfRequestCreate: a request the driver sends to `target` (which may also be given later to Send).
    static NTSTATUS Create(const ObjectAttributes& attributes, const WDFIOTARGET& target, WDFREQUEST* out);

    RequestType GetType() const { return params_.Type; }
    void GetParameters(RequestParameters* params) const { *params = params_; }

    // The caller's buffers (METHOD_BUFFERED: input and output of an IOCTL share one system buffer).
    // STATUS_BUFFER_TOO_SMALL when shorter than `minimumRequired`, STATUS_INVALID_DEVICE_REQUEST when
    // the request has no such buffer.
    NTSTATUS RetrieveInputBuffer(size_t minimumRequired, void** buffer, size_t* length);
    NTSTATUS RetrieveOutputBuffer(size_t minimumRequired, void** buffer, size_t* length);

    void Complete(NTSTATUS status);
    void CompleteWithInformation(NTSTATUS status, size_t information);
    void SetInformation(size_t information);
    size_t GetInformation() const;
    // The completion status, or (a request the driver sends) why Send refused it.
    NTSTATUS GetStatus() const;

    // Moves a request the driver owns into another queue of the same device.
    NTSTATUS ForwardToIoQueue(const WDFQUEUE& queue);
    WDFQUEUE GetIoQueue() const;
    WDFFILEOBJECT GetFileObject() const { return file_; }
    // The caller cancelled it (CancelIo, closing the handle) or its queue was purged.
    bool IsCanceled() const;

    // ObReferenceObjectByHandle for an event: `handle` is what the caller put into its input; it must
    // name the event the caller passed along with this request. STATUS_INVALID_HANDLE when it does
    // not, STATUS_OBJECT_TYPE_MISMATCH when the descriptor is not an event.
    NTSTATUS ReferenceEventByHandle(uint32_t handle, PKEVENT* event);

    // Requests sent to an I/O target.
    void SetCompletionRoutine(CompletionRoutine routine, void* context);
    // WdfRequestSend (asynchronous) to `target`, or to the target given at Create when null. False when
    // the target refused it (not started, not formatted): GetStatus() tells why, and the completion
    // routine will not run.
    bool Send(const WDFIOTARGET& target = nullptr);
    // True when the request was in flight and now completes with STATUS_CANCELLED.
    bool CancelSentRequest();
    void GetCompletionParams(RequestCompletionParams* params) const;
    // WdfRequestReuse: ready to be formatted and sent again (not while in flight).
    NTSTATUS Reuse(NTSTATUS status = STATUS_SUCCESS);

    Request(Framework& fw, const ObjectAttributes& attributes, const WDFOBJECT& parent);

  private:
    friend class IoQueue;
    friend class IoTarget;
    friend class Device;
    friend class IoManager;

    enum class State { New, Queued, DriverOwned, Completed };
    enum class Format { None, Read, Write, DeviceIoControl };
    enum class SendState { Idle, Sent, Completed };

    void OnDelete() override;
    void RunCompletionRoutine(const WDFIOTARGET& target);

    // A caller's request; guarded by the framework's I/O lock.
    bool fromCaller_ = false;
    RequestParameters params_;
    std::vector<uint8_t> buffer_;
    WDFFILEOBJECT file_;
    State state_ = State::New;
    WDFQUEUE queue_;
    bool delivered_ = false;    // the driver has seen it: a cancel goes to EvtIoCanceledOnQueue
    bool fromDispatch_ = false; // holds its sequential queue until completed or forwarded
    bool cancelRequested_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    size_t information_ = 0;
    std::function<void(const WDFREQUEST&)> onComplete_; // the I/O manager's report, run on the loop
    platform::UniqueFd passedFd_;
    uint32_t passedHandle_ = 0xFFFFFFFF;

    // A request the driver sends; guarded by sendMutex_ (taken after the target's own lock).
    mutable std::mutex sendMutex_;
    std::weak_ptr<IoTarget> defaultTarget_;
    std::weak_ptr<IoTarget> sentTo_;
    Format format_ = Format::None;
    WDFMEMORY input_;  // write buffer, IOCTL input
    WDFMEMORY output_; // read buffer, IOCTL output
    uint32_t ioControlCode_ = 0;
    CompletionRoutine routine_;
    void* routineContext_ = nullptr;
    SendState sendState_ = SendState::Idle;
    NTSTATUS sendStatus_ = STATUS_SUCCESS;
    size_t transferred_ = 0;
    RequestCompletionParams completion_;
};

} // namespace zelhart::drvfw
