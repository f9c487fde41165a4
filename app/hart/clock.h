// Time as the HART link sees it: pauses between polls and attempts.
//
// The link's timing is made of sleeps. Production sleeps for real; tests plug in a clock that only
// counts, so that a transaction that waits 15 s runs in microseconds.
#pragma once

#include <chrono>

namespace zelhart::hart {

class IClock {
  public:
    virtual ~IClock() = default;
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
    virtual std::chrono::milliseconds Now() const = 0; // monotonic
};

class SystemClock : public IClock {
  public:
    void Sleep(std::chrono::milliseconds duration) override;
    std::chrono::milliseconds Now() const override;

    // One instance for the whole program; it has no state.
    static SystemClock& Instance();
};

} // namespace zelhart::hart
