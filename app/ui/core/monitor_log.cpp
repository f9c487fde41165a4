#include "core/monitor_log.h"

#include "hart/sensor_limits.h"
#include "hart/transmitter_model_fields.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zelhart::ui {
namespace {

// Two decimals with a full stop, independent of the numeric locale; empty when not read.
std::string Decimal(float value) {
    if (IsNotSet(value)) return {};
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, double(value), std::chars_format::fixed, 3);
    return std::string(text, result.ptr);
}

// A field that may hold a comma or a quote is quoted.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

void MonitorLog::Add(const MonitorSample& sample) {
    if (!sample.answered) {
        AddOutage(sample.time);
        return;
    }
    if (IsNotSet(sample.measured) && IsNotSet(sample.loopCurrent)) return;
    if (samples_.size() >= kMaxSamples) samples_.pop_front();
    samples_.push_back(sample);
}

void MonitorLog::AddOutage(std::chrono::system_clock::time_point time) {
    if (samples_.size() >= kMaxSamples) samples_.pop_front();
    samples_.push_back({time, NotANumber, kUnitsNotSet, NotANumber, false});
}

std::vector<MonitorSample> MonitorLog::Recent(std::chrono::system_clock::time_point now) const {
    std::vector<MonitorSample> recent;
    for (const MonitorSample& s : samples_)
        if (s.time >= now - kChartWindow) recent.push_back(s);
    return recent;
}

int AxisDecimals(double low, double high, int ticks) {
    constexpr int kMost = 6;
    if (!(high > low) || ticks < 2) return 0;
    const double step = (high - low) / (ticks - 1);
    auto whole = [](double v) { return std::abs(v - std::round(v)) <= 1e-6 * std::max(1.0, std::abs(v)); };
    double scale = 1;
    for (int decimals = 0; decimals < kMost; ++decimals, scale *= 10)
        if (whole(step * scale) && whole(low * scale)) return decimals;
    return kMost;
}

std::string Iso8601(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&t, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const int offset = int(local.tm_gmtoff / 60) % (100 * 60); // minutes, bounded for the text
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                  std::abs(offset) % 60);
    return std::string(text) + zone;
}

std::string MonitorLog::Csv() const {
    std::string csv = "time,measured_value,measured_units,loop_current_mA\n";
    for (const MonitorSample& s : samples_) {
        if (!s.answered) {
            csv += Iso8601(s.time) + ",,,\n";
            continue;
        }
        csv += Iso8601(s.time) + ',' + Decimal(s.measured) + ',' +
               CsvField(std::string(UnitText(s.measuredUnits))) + ',' + Decimal(s.loopCurrent) + '\n';
    }
    return csv;
}

} // namespace zelhart::ui
