// The paced waits of the transmitter's sensor calibration and reset.
//
// After a sensor trim the transmitter needs about half a minute before its status tells whether the
// trim took, and a few seconds after a reset. The program waits in a progress window the user cannot
// close: one tick a second, positions 0..last, and one tick more to close. The desktop program shows
// the window, the command-line front end a line on the terminal, tests only record the request.
#pragma once

#include "hart/clock.h"

#include <chrono>
#include <functional>

namespace zelhart::hart {

enum class ProgressWaitMode { Reset = 0, Calibration = 1 };

struct ProgressWaitPlan {
    int textId;       // string shown with the bar
    int lastPosition; // the bar's range is 0..lastPosition
};

constexpr ProgressWaitPlan PlanOf(ProgressWaitMode mode) {
    return mode == ProgressWaitMode::Calibration ? ProgressWaitPlan{1309, 35} : ProgressWaitPlan{1310, 6};
}

inline constexpr std::chrono::milliseconds kProgressTick{1000};

// Ticks of a whole wait: every position after 0 takes one, closing takes one more.
constexpr int TicksOf(ProgressWaitMode mode) {
    return PlanOf(mode).lastPosition + 1;
}

class IProgressWait {
  public:
    virtual ~IProgressWait() = default;
    // Returns when the wait is over; it cannot be cut short.
    virtual void Wait(ProgressWaitMode mode) = 0;
};

// A wait paced by a clock. The observer sees position 0 at the start and each new position after its
// tick; the wait returns one tick after the last position.
class ClockProgressWait : public IProgressWait {
  public:
    using Observer = std::function<void(ProgressWaitMode mode, int position, int lastPosition)>;

    explicit ClockProgressWait(IClock& clock, Observer observer = {})
        : clock_(clock), observer_(std::move(observer)) {}

    void Wait(ProgressWaitMode mode) override {
        const ProgressWaitPlan plan = PlanOf(mode);
        int counter = 0;
        if (observer_) observer_(mode, counter, plan.lastPosition);
        for (;;) {
            clock_.Sleep(kProgressTick);
            if (counter == plan.lastPosition) return;
            ++counter;
            if (observer_) observer_(mode, counter, plan.lastPosition);
        }
    }

  private:
    IClock& clock_;
    Observer observer_;
};

} // namespace zelhart::hart
