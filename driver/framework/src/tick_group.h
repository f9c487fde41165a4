// Periodic timers of one period sharing one timerfd of the event loop: a tick wakes the loop once
// for every timer of the group, instead of once per timer. The tick runs after the other events of
// the same wake-up (serial input that arrived before it, above all). The group ticks on its own grid while it
// has members and not at all without; a timer that joins gets its first tick within one period, as a
// timer that had been running all along would.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace zelhart::drvfw {

class EventLoop;
class Timer;

class TickGroup {
  public:
    TickGroup(EventLoop& loop, uint32_t periodMs);
    ~TickGroup();
    TickGroup(const TickGroup&) = delete;
    TickGroup& operator=(const TickGroup&) = delete;

    bool valid() const { return registered_; }
    // Thread-safe. Joining twice is joining once.
    void Join(const std::shared_ptr<Timer>& timer);
    void Leave(const Timer* timer);

  private:
    void OnTick();
    void RunDue();
    void ArmLocked(bool on);

    EventLoop& loop_;
    uint32_t periodMs_;
    platform::UniqueFd fd_;
    bool registered_ = false;
    std::mutex mutex_;
    std::vector<std::weak_ptr<Timer>> members_;
    std::vector<const Timer*> keys_; // members_[i] is keys_[i]: looked up without locking a weak_ptr
    std::vector<std::shared_ptr<Timer>> due_; // the loop thread's list for one tick
};

} // namespace zelhart::drvfw
