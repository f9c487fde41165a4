// The monitoring session's samples: the chart's window and the CSV file.
#include "core/monitor_log.h"

#include "hart/transmitter_model_fields.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <cstdlib>

namespace zelhart::ui {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

TEST(MonitorLogTest, TheChartSeesFifteenMinutesAndTheCsvEverySample) {
    ::setenv("TZ", "UTC-3", 1); // three hours east of Greenwich
    ::tzset();
    const Clock::time_point t0 = Clock::from_time_t(1796212800); // 2026-12-02T12:00:00Z
    MonitorLog log;
    log.Add({t0, 21.5f, 32, 7.44f});
    log.Add({t0 + 4s, NotANumber, 38, NotANumber}); // a failed poll: nothing to keep
    log.Add({t0 + 10min, NotANumber, 38, 12.0f});
    log.Add({t0 + 16min, -3.25f, 35, 4.0f});
    log.AddOutage(t0 + 16min + 4s); // no answer: a line without values
    EXPECT_EQ(log.Samples().size(), 4u);
    EXPECT_EQ(log.Recent(t0 + 16min + 4s).size(), 3u);
    if (std::setlocale(LC_NUMERIC, "ru_RU.UTF-8") == nullptr) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
    const std::string csv = log.Csv();
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(csv, "time,measured_value,measured_units,loop_current_mA\n"
                   "2026-12-02T15:00:00+03:00,21.500,°C,7.440\n"
                   "2026-12-02T15:10:00+03:00,,,12.000\n"
                   "2026-12-02T15:16:00+03:00,-3.250,°K,4.000\n"
                   "2026-12-02T15:16:04+03:00,,,\n");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(MonitorLogTest, ADayOfPollsIsKeptAtMost) {
    MonitorLog log;
    const Clock::time_point t0 = Clock::now();
    for (size_t i = 0; i < MonitorLog::kMaxSamples + 5; ++i)
        log.Add({t0 + std::chrono::seconds(4 * i), float(i), 32, 4.0f});
    EXPECT_EQ(log.Samples().size(), MonitorLog::kMaxSamples);
    EXPECT_EQ(log.Samples().front().measured, 5.0f);
}

TEST(MonitorLogTest, AxisLabelsTellEveryTickApart) {
    const struct {
        double low, high;
        int ticks, decimals;
    } cases[] = {
        {294.55, 294.65, 3, 2}, {0, 100, 6, 0}, {294.25, 295.25, 5, 2}, {3.5, 4.5, 3, 1}, {7.0, 7.0, 5, 0},
    };
    for (const auto& c : cases) {
        const int decimals = AxisDecimals(c.low, c.high, c.ticks);
        EXPECT_EQ(decimals, c.decimals) << c.low << ".." << c.high;
        std::string previous;
        for (int i = 0; c.high > c.low && i < c.ticks; ++i) {
            char label[32];
            std::snprintf(label, sizeof label, "%.*f", decimals, c.low + (c.high - c.low) * i / (c.ticks - 1));
            EXPECT_NE(label, previous) << c.low << ".." << c.high;
            previous = label;
        }
    }
}

} // namespace
} // namespace zelhart::ui
