#include "events.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zelhart::hartif {
namespace {

void Signal(int fd) {
    uint64_t one = 1;
    while (::write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void Drain(int fd) {
    uint64_t value;
    while (::read(fd, &value, sizeof(value)) < 0 && errno == EINTR) {
    }
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do r = ::poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN);
}

int MakeEventFd(platform::UniqueFd& fd) {
    int e = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (e < 0) return errno;
    fd.reset(e);
    return 0;
}

} // namespace

int ManualResetEvent::Create() { return MakeEventFd(fd_); }

void ManualResetEvent::Set() {
    if (fd_) Signal(fd_.get());
}

void ManualResetEvent::Reset() {
    if (fd_) Drain(fd_.get());
}

bool ManualResetEvent::IsSet() const { return fd_ && Readable(fd_.get()); }

int WaitForAny(const int* fds, size_t count, int timeoutMs) {
    constexpr size_t kMax = 8;
    if (count == 0 || count > kMax) return -1;
    pollfd p[kMax];
    for (size_t i = 0; i < count; ++i) p[i] = {fds[i], POLLIN, 0};
    int r;
    do r = ::poll(p, count, timeoutMs);
    while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return kWaitTimeout;
    for (size_t i = 0; i < count; ++i)
        if (p[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) return int(i);
    return -1;
}

int CommunicationEvents::Create() {
    if (int e = readComplete_.Create()) return e;
    if (int e = MakeEventFd(wake_)) return e;
    for (auto& f : flags_) f.store(false);
    return 0;
}

void CommunicationEvents::Set(int event) {
    if (event == EVT_READ_COMPLETE) {
        readComplete_.Set();
        return;
    }
    if (event <= 0 || event >= kCommunicationEventCount) return;
    flags_[event].store(true, std::memory_order_release);
    if (wake_) Signal(wake_.get());
}

void CommunicationEvents::Reset(int event) {
    if (event == EVT_READ_COMPLETE) {
        readComplete_.Reset();
        return;
    }
    if (event <= 0 || event >= kCommunicationEventCount) return;
    flags_[event].store(false, std::memory_order_release);
}

bool CommunicationEvents::IsSet(int event) const {
    if (event == EVT_READ_COMPLETE) return readComplete_.IsSet();
    if (event <= 0 || event >= kCommunicationEventCount) return false;
    return flags_[event].load(std::memory_order_acquire);
}

int CommunicationEvents::Wait() {
    if (!valid()) return -1;
    for (;;) {
        // Drain the wake-up first: a Set() after this point leaves it readable for the poll below.
        Drain(wake_.get());
        for (int e = 0; e < kCommunicationEventCount; ++e)
            if (IsSet(e)) return e;
        int fds[] = {readComplete_.fd(), wake_.get()};
        if (WaitForAny(fds, 2, -1) < 0) return -1;
    }
}

} // namespace zelhart::hartif
