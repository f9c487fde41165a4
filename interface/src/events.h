// Events and waits of the communication and watcher threads.
//
// A manual-reset event stays signalled until it is reset; a wait on several returns the lowest
// signalled index. Each controller has five such events but spends only two descriptors on them:
// the read-completion event is an eventfd of its own (the device layer signals it), the other four
// are flags that share one wake-up eventfd. That keeps 256 open devices far below any descriptor limit.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <array>
#include <atomic>
#include <cstddef>

namespace zelhart::hartif {

// One manual-reset event on an eventfd: readable while signalled.
class ManualResetEvent {
public:
    int Create(); // 0 or errno
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void Set();
    void Reset();
    bool IsSet() const;

private:
    platform::UniqueFd fd_;
};

// Waits until one of the descriptors is readable and returns the lowest such index; -1 when the wait
// itself fails, kWaitTimeout when timeoutMs (>= 0) passes first.
inline constexpr int kWaitTimeout = -2;
int WaitForAny(const int* fds, size_t count, int timeoutMs);

// The communication thread's events, in wait order.
enum CommunicationEvent : int {
    EVT_READ_COMPLETE = 0,
    EVT_WRITE_REQUEST = 1,
    EVT_PORT_ARRIVAL = 2,
    EVT_PORT_REMOVAL = 3,
    EVT_STOP_THREAD = 4,
    kCommunicationEventCount = 5,
};

class CommunicationEvents {
public:
    int Create(); // 0 or errno; all events unsignalled
    bool valid() const { return readComplete_.valid() && wake_.valid(); }
    // The descriptor the device layer signals when the pending read finishes.
    int ReadCompletionFd() const { return readComplete_.fd(); }
    void Set(int event);
    void Reset(int event);
    bool IsSet(int event) const;
    // Blocks until an event is signalled; its index, the lowest when several are. -1 on failure.
    int Wait();

private:
    ManualResetEvent readComplete_;
    platform::UniqueFd wake_;
    std::array<std::atomic<bool>, kCommunicationEventCount> flags_{};
};

} // namespace zelhart::hartif
