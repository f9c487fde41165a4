// WDFTIMER on a timerfd of the event loop. The callback runs on the loop thread, not serialised with
// anything else; a periodic timer ticks every Period milliseconds once started, and each expiration
// runs once per wake-up (a loop that was held up for several periods gets one tick, not a burst).
// A periodic timer started with its own period as due time ticks on the loop's shared grid of that
// period (one timerfd and one wake-up for every such timer): its first tick comes within one period,
// as that of a timer that had been running all along would.
#pragma once

#include "zelhart/drvfw/object.h"
#include "zelhart/platform/unique_fd.h"

#include <condition_variable>
#include <functional>

namespace zelhart::drvfw {

struct TimerConfig {
    std::function<void(WDFTIMER)> EvtTimerFunc;
    uint32_t Period = 0;                 // milliseconds; 0 = one-shot
    bool AutomaticSerialization = false; // accepted for the record; the driver takes its own lock
};

class TickGroup;

class Timer : public Object {
  public:
    // WdfTimerCreate; attributes.ParentObject (the device) is required.
    static NTSTATUS Create(const TimerConfig& config, const ObjectAttributes& attributes, WDFTIMER* out);

    // WdfTimerStart: dueTime in 100-ns units, negative = relative (the only kind used). True when the
    // timer was already running.
    bool Start(int64_t dueTime);
    // WdfTimerStop: true when it was running. With `wait`, returns only after a tick that is under way
    // has finished (not from inside the tick itself).
    bool Stop(bool wait);

    Timer(Framework& fw, const TimerConfig& config, const ObjectAttributes& attributes);
    ~Timer() override;

    // The shared grid's tick (tick_group.cpp), on the loop thread.
    void OnGroupTick();

  private:
    void OnDelete() override;
    void OnExpired();
    void Tick();
    void LeaveGroupLocked();

    TimerConfig config_;
    platform::UniqueFd fd_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool started_ = false;
    bool running_ = false;
    bool registered_ = false;
    TickGroup* group_ = nullptr; // the grid this timer ticks on while started, if any
};

} // namespace zelhart::drvfw
