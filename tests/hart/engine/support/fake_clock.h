// A clock for tests: sleeping only advances its time and is recorded.
#pragma once

#include "hart/clock.h"

#include <map>
#include <vector>

namespace zelhart::hart::testing {

class FakeClock : public IClock {
  public:
    void Sleep(std::chrono::milliseconds d) override {
        sleeps.push_back(d);
        now_ += d;
    }
    std::chrono::milliseconds Now() const override { return now_; }

    // How many sleeps of each length.
    std::map<long long, int> Histogram() const {
        std::map<long long, int> h;
        for (auto d : sleeps)
            ++h[d.count()];
        return h;
    }

    std::vector<std::chrono::milliseconds> sleeps;

  private:
    std::chrono::milliseconds now_{0};
};

} // namespace zelhart::hart::testing
