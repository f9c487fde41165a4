#include "zelhart/platform/iomgr_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace zelhart::platform::iomgr {

Event::Event(bool initialState) : fd_(::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool Event::Set() {
    uint64_t one = 1;
    for (;;) {
        if (::write(fd_.get(), &one, sizeof(one)) == sizeof(one)) return true;
        if (errno == EINTR) continue;
        return errno == EAGAIN; // the counter is saturated: signalled anyway
    }
}

bool Event::Reset() {
    uint64_t value;
    for (;;) {
        if (::read(fd_.get(), &value, sizeof(value)) == sizeof(value)) return true;
        if (errno == EINTR) continue;
        return errno == EAGAIN; // was not signalled
    }
}

bool Event::IsSet() const {
    return WaitForSingleEvent(*this, 0) == WAIT_OBJECT_0;
}

uint32_t WaitForMultipleEvents(std::span<const Event* const> events, uint32_t timeoutMs) {
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
    std::vector<pollfd> fds(events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        if (!events[i] || !events[i]->valid()) return WAIT_FAILED;
        fds[i] = {events[i]->fd(), POLLIN, 0};
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != INFINITE) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
        }
        int n = ::poll(fds.data(), fds.size(), wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return WAIT_FAILED;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLNVAL) return WAIT_FAILED;
            if (fds[i].revents & POLLIN) return WAIT_OBJECT_0 + static_cast<uint32_t>(i);
        }
        if (n == 0 && timeoutMs != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
    }
}

uint32_t WaitForSingleEvent(const Event& event, uint32_t timeoutMs) {
    const Event* one[] = {&event};
    return WaitForMultipleEvents(one, timeoutMs);
}

} // namespace zelhart::platform::iomgr
