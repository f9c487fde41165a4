#include "zelhart/drvfw/io_target.h"

#include "serial_line.h"
#include "zelhart/drvfw/device.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/memory.h"
#include "zelhart/drvfw/request.h"
#include "zelhart/drvfw/trace.h"

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace zelhart::drvfw {
namespace {

constexpr int64_t kDrainSlackNs = 200'000'000; // on top of twice the write's line time

int64_t NowNs() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool PortGone(int e) {
    return e == EIO || e == ENXIO || e == ENODEV;
}

std::span<uint8_t> Bytes(const WDFMEMORY& m) {
    if (!m) return {};
    return {static_cast<uint8_t*>(m->GetBuffer()), m->size()};
}

} // namespace

IoTarget::IoTarget(Framework& fw, const WDFDEVICE& device, const ObjectAttributes& attributes)
    : Object(fw, attributes, device), device_(device),
      drainTimer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

IoTarget::~IoTarget() {
    framework().loop().RemoveFd(drainTimer_.get());
    if (port_.IsOpen()) framework().loop().RemoveFd(port_.fd());
}

NTSTATUS IoTarget::Create(const WDFDEVICE& device, const ObjectAttributes& attributes, WDFIOTARGET* out) {
    if (!device) return STATUS_INVALID_PARAMETER;
    auto target = std::make_shared<IoTarget>(device->framework(), device, attributes);
    if (!target->drainTimer_) return STATUS_INSUFFICIENT_RESOURCES;
    std::weak_ptr<IoTarget> weak = target;
    if (target->framework().loop().AddFd(target->drainTimer_.get(), EPOLLIN, [weak](uint32_t) {
            if (auto t = weak.lock()) t->OnDrainTimer();
        }) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (NTSTATUS s = target->AttachToParent(); !NT_SUCCESS(s)) return s;
    *out = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoTarget::Open(const IoTargetOpenParams& params) {
    if (IsDeleted()) return STATUS_DELETE_PENDING;
    std::lock_guard lock(mutex_);
    if (state_ != IoTargetState::Closed) return STATUS_INVALID_DEVICE_STATE;
    const std::string& name = params.TargetDeviceName;
    if (name.empty() || name[0] != '/') return STATUS_OBJECT_NAME_NOT_FOUND;
    int rc = port_.Open(name);
    if (rc == EBUSY) return STATUS_ACCESS_DENIED;
    if (rc == ENOENT || rc == ENXIO || rc == ENODEV || rc == ENOTDIR) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (rc != 0) return NtStatusFromErrno(rc);
    line_ = std::make_unique<SerialLine>(port_.fd());
    if (!line_->rawModeSet()) {
        FrameworkTrace(TraceLevel::Error, "serial: %s: the port did not take raw mode; not opened", name.c_str());
        line_.reset();
        port_.Close();
        return STATUS_NOT_SUPPORTED;
    }
    std::weak_ptr<IoTarget> weak = std::static_pointer_cast<IoTarget>(shared_from_this());
    if (framework().loop().AddFd(port_.fd(), 0, [weak](uint32_t events) {
            if (auto t = weak.lock()) t->OnIo(events);
        }) != 0) {
        line_.reset();
        port_.Close();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    interest_ = 0;
    input_.clear();
    decoder_.Reset();
    removeCallback_ = params.EvtIoTargetRemoveComplete;
    state_ = IoTargetState::Started;
    return STATUS_SUCCESS;
}

void IoTarget::Close() {
    std::lock_guard lock(mutex_);
    CloseLocked();
}

void IoTarget::CloseLocked() {
    if (state_ == IoTargetState::Closed) return;
    CancelAllLocked(reads_);
    CancelAllLocked(writes_);
    if (port_.IsOpen()) framework().loop().RemoveFd(port_.fd());
    line_.reset(); // restores the port's previous settings
    port_.Close();
    ArmDrainTimerLocked(0);
    input_.clear();
    decoder_.Reset();
    interest_ = 0;
    removeCallback_ = nullptr;
    state_ = IoTargetState::Closed;
}

NTSTATUS IoTarget::Start() {
    std::lock_guard lock(mutex_);
    if (state_ == IoTargetState::Stopped) state_ = IoTargetState::Started;
    if (state_ != IoTargetState::Started) return STATUS_INVALID_DEVICE_STATE;
    WriteOutputLocked();
    SatisfyReadsLocked();
    UpdateInterestLocked();
    return STATUS_SUCCESS;
}

void IoTarget::Stop(IoTargetSentIoAction action) {
    std::lock_guard lock(mutex_);
    if (state_ != IoTargetState::Started) return;
    state_ = IoTargetState::Stopped;
    if (action == IoTargetSentIoAction::CancelSentIo) {
        CancelAllLocked(reads_);
        CancelAllLocked(writes_);
    }
    UpdateInterestLocked();
}

IoTargetState IoTarget::GetState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool IoTarget::IsUsbPort() const {
    std::lock_guard lock(mutex_);
    return line_ && line_->usb();
}

bool IoTarget::LacksModemLines() const {
    std::lock_guard lock(mutex_);
    return line_ && !line_->pseudoTerminal() && !line_->hasModemLines();
}

void IoTarget::OnDelete() {
    Close();
}

NTSTATUS IoTarget::FormatRequestForRead(const WDFREQUEST& request, const WDFMEMORY& output) {
    if (!request || !output) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(request->sendMutex_);
    if (request->sendState_ == Request::SendState::Sent) return STATUS_INVALID_DEVICE_STATE;
    request->format_ = Request::Format::Read;
    request->input_ = nullptr;
    request->output_ = output;
    return STATUS_SUCCESS;
}

NTSTATUS IoTarget::FormatRequestForWrite(const WDFREQUEST& request, const WDFMEMORY& input) {
    if (!request || !input) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(request->sendMutex_);
    if (request->sendState_ == Request::SendState::Sent) return STATUS_INVALID_DEVICE_STATE;
    request->format_ = Request::Format::Write;
    request->input_ = input;
    request->output_ = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS IoTarget::FormatRequestForIoctl(const WDFREQUEST& request, uint32_t ioControlCode,
                                         const WDFMEMORY& input, const WDFMEMORY& output) {
    if (!request) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(request->sendMutex_);
    if (request->sendState_ == Request::SendState::Sent) return STATUS_INVALID_DEVICE_STATE;
    request->format_ = Request::Format::DeviceIoControl;
    request->ioControlCode_ = ioControlCode;
    request->input_ = input;
    request->output_ = output;
    return STATUS_SUCCESS;
}

NTSTATUS IoTarget::SendIoctlSynchronously(uint32_t code, std::span<const uint8_t> input,
                                          std::span<uint8_t> output, size_t* bytesReturned) {
    size_t ignored;
    size_t* returned = bytesReturned ? bytesReturned : &ignored;
    *returned = 0;
    std::lock_guard lock(mutex_);
    if (state_ != IoTargetState::Started) return STATUS_INVALID_DEVICE_STATE;
    return IoctlLocked(code, input, output, returned);
}

NTSTATUS IoTarget::IoctlLocked(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                               size_t* returned) {
    if (code == IOCTL_SERIAL_PURGE && input.size() >= sizeof(uint32_t)) {
        uint32_t mask;
        std::memcpy(&mask, input.data(), sizeof(mask));
        if (mask & SERIAL_PURGE_TXABORT) CancelAllLocked(writes_);
        if (mask & SERIAL_PURGE_RXABORT) CancelAllLocked(reads_);
        if (mask & SERIAL_PURGE_RXCLEAR) {
            input_.clear();
            decoder_.Reset();
        }
    }
    NTSTATUS s = line_->Ioctl(code, input, output, returned);
    UpdateInterestLocked();
    return s;
}

bool IoTarget::SendRequest(const WDFREQUEST& request) {
    std::lock_guard lock(mutex_);
    Request::Format format;
    {
        std::lock_guard rlock(request->sendMutex_);
        if (request->format_ == Request::Format::None) {
            request->sendStatus_ = STATUS_INVALID_DEVICE_REQUEST;
            return false;
        }
        if (request->sendState_ == Request::SendState::Sent || state_ != IoTargetState::Started) {
            request->sendStatus_ = STATUS_INVALID_DEVICE_STATE;
            return false;
        }
        request->sendState_ = Request::SendState::Sent;
        request->sendStatus_ = STATUS_PENDING;
        request->transferred_ = 0;
        request->sentTo_ = std::static_pointer_cast<IoTarget>(shared_from_this());
        format = request->format_;
    }
    switch (format) {
    case Request::Format::DeviceIoControl: {
        size_t returned = 0;
        NTSTATUS s =
            IoctlLocked(request->ioControlCode_, Bytes(request->input_), Bytes(request->output_), &returned);
        CompleteLocked(request, s, returned);
        break;
    }
    case Request::Format::Read:
        reads_.push_back(request);
        SatisfyReadsLocked();
        break;
    case Request::Format::Write:
        writes_.push_back(request);
        WriteOutputLocked();
        break;
    case Request::Format::None:
        break;
    }
    UpdateInterestLocked();
    return true;
}

bool IoTarget::CancelRequest(const Request* request) {
    std::lock_guard lock(mutex_);
    auto matches = [&](const WDFREQUEST& r) { return r.get() == request; };
    if (auto it = std::find_if(reads_.begin(), reads_.end(), matches); it != reads_.end()) {
        CompleteLocked(*it, STATUS_CANCELLED, 0);
        reads_.erase(it);
        UpdateInterestLocked();
        return true;
    }
    auto it = std::find_if(writes_.begin(), writes_.end(), matches);
    if (it == writes_.end()) return false;
    if (it == writes_.begin() && writing_) {
        EndWriteLocked(STATUS_CANCELLED);
        WriteOutputLocked();
    } else {
        CompleteLocked(*it, STATUS_CANCELLED, 0);
        writes_.erase(it);
    }
    UpdateInterestLocked();
    return true;
}

void IoTarget::OnIo(uint32_t events) {
    std::lock_guard lock(mutex_);
    if (state_ == IoTargetState::Closed || state_ == IoTargetState::Deleted) return;
    if (events & EPOLLIN) ReadInputLocked();
    if (state_ == IoTargetState::Deleted) return;
    if (events & (EPOLLHUP | EPOLLERR)) {
        RemovedLocked();
        return;
    }
    if (events & EPOLLOUT) WriteOutputLocked();
    if (state_ == IoTargetState::Deleted) return;
    SatisfyReadsLocked();
    UpdateInterestLocked();
}

void IoTarget::ReadInputLocked() {
    if (state_ != IoTargetState::Started || input_.size() >= kInputBufferSize) return;
    uint8_t raw[64];
    ssize_t n = ::read(port_.fd(), raw, sizeof(raw));
    if (n > 0) {
        decoder_.Feed(std::span(raw, static_cast<size_t>(n)), &input_);
    } else if (n == 0 || PortGone(errno)) {
        RemovedLocked();
    } else if (errno != EAGAIN && errno != EINTR) {
        FrameworkTrace(TraceLevel::Error, "serial: read: %s", std::strerror(errno));
        if (reads_.empty()) return;
        CompleteLocked(reads_.front(), NtStatusFromErrno(errno), 0);
        reads_.pop_front();
    }
}

void IoTarget::SatisfyReadsLocked() {
    while (!reads_.empty() && !input_.empty()) {
        WDFREQUEST request = reads_.front();
        reads_.pop_front();
        auto buffer = Bytes(request->output_);
        if (input_.front().lineError) {
            buffer[0] = input_.front().value;
            input_.pop_front();
            CompleteLocked(request, STATUS_PARITY_ERROR, 1);
            continue;
        }
        size_t n = 0;
        while (n < buffer.size() && !input_.empty() && !input_.front().lineError) {
            buffer[n++] = input_.front().value;
            input_.pop_front();
        }
        CompleteLocked(request, STATUS_SUCCESS, n);
    }
}

void IoTarget::WriteOutputLocked() {
    while (state_ == IoTargetState::Started && !writes_.empty() && !draining_) {
        WDFREQUEST request = writes_.front();
        auto bytes = Bytes(request->input_);
        if (!writing_) {
            writing_ = true;
            if (line_->softwareRtsToggle()) line_->SetRts(true);
            writeStartNs_ = 0;
        }
        size_t done = request->transferred_;
        if (done == bytes.size()) {
            FinishWriteLocked();
            continue;
        }
        ssize_t n = ::write(port_.fd(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            if (writeStartNs_ == 0) writeStartNs_ = NowNs(); // the port has the first bytes (no earlier)
            request->transferred_ = done + static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n < 0 && PortGone(errno)) {
            RemovedLocked();
            return;
        }
        FrameworkTrace(TraceLevel::Error, "serial: write: %s", std::strerror(errno));
        EndWriteLocked(NtStatusFromErrno(errno));
    }
}

void IoTarget::FinishWriteLocked() {
    // Every byte is in the port; the write completes once they have left it, and RTS falls then. The
    // port's output queue (TIOCOUTQ) does not count the UART's FIFO and shift register: the transmitter
    // is empty when the port says so (TIOCSERGETLSR), and a port that cannot say so has sent the
    // write no earlier than its start plus its characters' line time and one character more. (A
    // pseudo-terminal has no line rate: its output queue is always empty.)
    draining_ = true;
    size_t length = writes_.front()->input_->size();
    const int64_t charNs = line_->CharacterTimeNs();
    lineDoneNs_ = line_->pseudoTerminal() ? 0 : writeStartNs_ + (static_cast<int64_t>(length) + 1) * charNs;
    drainDeadlineNs_ = NowNs() + 2 * static_cast<int64_t>(length) * charNs + kDrainSlackNs;
    CheckDrainLocked();
}

void IoTarget::CheckDrainLocked() {
    int queued = 0;
    if (::ioctl(port_.fd(), TIOCOUTQ, &queued) != 0) queued = 0;
    std::optional<bool> empty = line_->pseudoTerminal() ? std::optional<bool>(true) : line_->TransmitterEmpty();
    const int64_t now = NowNs();
    const bool sent = queued == 0 && (empty ? *empty : now >= lineDoneNs_);
    if (!sent && now >= drainDeadlineNs_) {
        // Held back (flow control, a stuck adapter): drop what is left rather than send it late.
        FrameworkTrace(TraceLevel::Error, "serial: %d bytes did not leave the port in time; discarded", queued);
        ::tcflush(port_.fd(), TCOFLUSH);
        EndWriteLocked(STATUS_IO_TIMEOUT);
        WriteOutputLocked();
        return;
    }
    if (!sent) {
        const int64_t charNs = line_->CharacterTimeNs();
        int64_t wait = queued > 0 ? queued * charNs : empty ? charNs / 4 : lineDoneNs_ - now;
        ArmDrainTimerLocked(std::clamp<int64_t>(wait, 500'000, std::max<int64_t>(charNs, 500'000)) +
                            (queued > 0 ? 1'000'000 : 0));
        return;
    }
    EndWriteLocked(STATUS_SUCCESS);
    WriteOutputLocked();
}

void IoTarget::EndWriteLocked(NTSTATUS status) {
    WDFREQUEST request = writes_.front();
    writes_.pop_front();
    // A write that ends before the port has sent it (cancelled, failed) leaves nothing behind to go
    // out after RTS has fallen.
    if (writing_ && port_.IsOpen() && status != STATUS_SUCCESS) ::tcflush(port_.fd(), TCOFLUSH);
    if (writing_ && line_ && line_->softwareRtsToggle()) line_->SetRts(false);
    writing_ = draining_ = false;
    ArmDrainTimerLocked(0);
    CompleteLocked(request, status, request->transferred_);
}

void IoTarget::ArmDrainTimerLocked(int64_t ns) {
    itimerspec spec{};
    if (ns > 0)
        spec.it_value =
            timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    ::timerfd_settime(drainTimer_.get(), 0, &spec, nullptr);
}

void IoTarget::OnDrainTimer() {
    uint64_t expirations;
    (void)!::read(drainTimer_.get(), &expirations, sizeof(expirations));
    std::lock_guard lock(mutex_);
    if (!draining_ || writes_.empty() || !port_.IsOpen() || state_ == IoTargetState::Deleted) return;
    CheckDrainLocked();
    UpdateInterestLocked();
}

void IoTarget::CompleteLocked(const WDFREQUEST& request, NTSTATUS status, size_t information) {
    {
        std::lock_guard rlock(request->sendMutex_);
        request->sendState_ = Request::SendState::Completed;
        request->sendStatus_ = status;
        RequestCompletionParams& p = request->completion_;
        p.Status = status;
        p.Information = information;
        p.IoControlCode = request->ioControlCode_;
        switch (request->format_) {
        case Request::Format::Read:
            p.Type = RequestType::Read, p.Buffer = request->output_;
            break;
        case Request::Format::Write:
            p.Type = RequestType::Write, p.Buffer = request->input_;
            break;
        case Request::Format::DeviceIoControl:
            p.Type = RequestType::DeviceIoControl, p.Buffer = request->output_;
            break;
        case Request::Format::None:
            p.Type = RequestType::Other;
            break;
        }
    }
    auto self = std::static_pointer_cast<IoTarget>(shared_from_this());
    framework().loop().Post([request, self] { request->RunCompletionRoutine(self); });
}

void IoTarget::CancelAllLocked(std::deque<WDFREQUEST>& list) {
    if (&list == &writes_ && !writes_.empty() && writing_) EndWriteLocked(STATUS_CANCELLED);
    for (auto& r : list)
        CompleteLocked(r, STATUS_CANCELLED, r->transferred_);
    list.clear();
}

void IoTarget::UpdateInterestLocked() {
    if (!port_.IsOpen() || state_ == IoTargetState::Deleted || state_ == IoTargetState::Closed) return;
    uint32_t want = 0;
    if (state_ == IoTargetState::Started) {
        if (input_.size() < kInputBufferSize) want |= EPOLLIN;
        if (!writes_.empty() && !draining_) want |= EPOLLOUT;
    }
    if (want == interest_) return;
    framework().loop().ModifyFd(port_.fd(), want);
    interest_ = want;
}

void IoTarget::RemovedLocked() {
    if (state_ == IoTargetState::Deleted || state_ == IoTargetState::Closed) return;
    state_ = IoTargetState::Deleted;
    framework().loop().RemoveFd(port_.fd());
    ArmDrainTimerLocked(0);
    draining_ = false;
    FrameworkTrace(TraceLevel::Info, "serial: the port has gone away");
    auto callback = removeCallback_;
    if (!callback) return;
    auto self = std::static_pointer_cast<IoTarget>(shared_from_this());
    framework().loop().Post([self, callback] {
        if (self->IsDeleted()) return;
        auto keep = self->KeepAlive();
        callback(self);
    });
}

} // namespace zelhart::drvfw
