// The samples of one monitoring session: what each poll read (measured value with its units, loop
// current), kept for the information page's chart (the last 15 minutes) and for saving as CSV.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zelhart::ui {

struct MonitorSample {
    std::chrono::system_clock::time_point time;
    float measured;             // NaN when the poll could not read it
    std::int32_t measuredUnits; // HART units code
    float loopCurrent;          // mA, NaN when not read
    bool answered = true;       // false: the poll got no answer (an outage), no values
};

class MonitorLog {
  public:
    static constexpr std::chrono::minutes kChartWindow{15};
    // A day of polls every 4 s; the oldest go first beyond that.
    static constexpr std::size_t kMaxSamples = 24 * 3600 / 4;

    // A new session: nothing kept.
    void Clear() { samples_.clear(); }
    // Keeps the sample of a poll that succeeded when it holds at least one value.
    void Add(const MonitorSample& sample);
    // Keeps a poll that failed: a break in the record, never the last values again.
    void AddOutage(std::chrono::system_clock::time_point time);

    const std::deque<MonitorSample>& Samples() const { return samples_; }
    // The samples no older than the chart's window before `now`.
    std::vector<MonitorSample> Recent(std::chrono::system_clock::time_point now) const;

    // One header line, then one line per sample: the time in ISO 8601 with the local offset, the
    // values with a full stop whatever the locale (empty when not read), the units' text. A poll
    // that failed is a line with its time and all three values empty.
    std::string Csv() const;

  private:
    std::deque<MonitorSample> samples_;
};

// The decimals a value axis' labels need so that every tick from `low` to `high` (`ticks` of them,
// evenly spaced) is printed exactly and no two alike: 294.55 / 294.60 / 294.65, not 294.6 three times.
int AxisDecimals(double low, double high, int ticks);

// ISO 8601 local time with its offset: "2026-12-09T14:34:12+03:00".
std::string Iso8601(std::chrono::system_clock::time_point time);

} // namespace zelhart::ui
