// The settings pages without widgets: the basic page's lists, labels and limits per sensor and
// units with what each choice stores, and both send buttons' checks in their order.
#include "core/page_lists.h"
#include "core/settings_pages.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <gtest/gtest.h>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

TEST(BasicPageLogicTest, ListsLabelsAndLimitsFollowTheSensor) {
    CTransmitterModel m;
    m.SetSensorConnection(4);
    m.SetRangeUnits(kUnitsCelsius);
    BasicPageLogic logic(m);
    EXPECT_EQ(logic.Shown().unitsCodes.size(), 6u); // before any sensor: every unit
    const struct {
        int sensor;
        size_t connections;
        std::vector<std::int32_t> units;
        int connectionIndex;
        const char* unit;
    } cases[] = {
        {1, 3, {32, 33, 34, 35, 37}, 3, "°C"}, // PT100: 4-wire kept, "Ом" offered
        {14, 1, {32, 33, 34, 35, 36}, 1, "°C"}, // thermocouple K: only "2-проводное", "мВ" instead of "Ом"
        {20, 1, {36}, 1, "мВ"},                 // the millivolt input
        {21, 3, {37}, 1, "Ом"},                 // the resistance input
    };
    for (const auto& c : cases) {
        logic.OnSensorChanged(c.sensor);
        const BasicShown& s = logic.Shown();
        EXPECT_EQ(s.connectionTexts.size(), c.connections) << c.sensor;
        EXPECT_EQ(s.unitsCodes, c.units) << c.sensor;
        EXPECT_EQ(s.unitText, c.unit) << c.sensor;
        EXPECT_EQ(m.GetSensorType(), SensorCodeFromIndex(c.sensor));
        const SensorLimitPair limits = SensorLimits(c.sensor, m.GetRangeUnits());
        EXPECT_EQ(s.lowerLimit, FormatNumber(limits.lower, 2)) << c.sensor;
        EXPECT_FALSE(s.lowerLimit.empty()) << c.sensor;
        EXPECT_EQ(m.GetLowerSensorLimit(), limits.lower);
    }
    EXPECT_EQ(logic.Shown().choice.connection, 1); // the millivolt input forced 2-wire
    EXPECT_EQ(m.GetSensorConnection(), 2);
    // The empty sensor entry clears the limits and the unit labels and stores NaN limits.
    logic.OnSensorChanged(0);
    EXPECT_TRUE(logic.Shown().lowerLimit.empty());
    EXPECT_TRUE(logic.Shown().unitText.empty());
    EXPECT_TRUE(IsNotSet(m.GetLowerSensorLimit()));
    EXPECT_EQ(m.GetSensorType(), kSensorNone);
}

TEST(BasicPageLogicTest, AUnitsChangeShowsTheLimitsInTheNewUnitsAndKeepsThePoints) {
    CTransmitterModel m;
    m.SetSensorType(1);
    m.SetSensorConnection(3);
    m.SetRangeUnits(kUnitsCelsius);
    m.SetLowerRange(0.0f);
    m.SetUpperRange(100.0f);
    BasicPageLogic logic(m);
    logic.Refresh();
    EXPECT_EQ(logic.Shown().choice.sensor, 1);
    EXPECT_EQ(logic.Shown().choice.connection, 2);
    EXPECT_EQ(logic.Shown().lowerLimit, "-200.00");
    EXPECT_EQ(logic.Shown().LimitUnit(logic.Shown().lowerLimit), "°C");
    logic.OnUnitsChanged(4); // °K
    EXPECT_EQ(m.GetRangeUnits(), kUnitsKelvin);
    EXPECT_EQ(m.GetLimitUnits(), kUnitsKelvin);
    EXPECT_EQ(logic.Shown().unitText, "°K");
    EXPECT_EQ(logic.Shown().lowerLimit, FormatNumber(SensorLimits(1, kUnitsKelvin).lower, 2));
    EXPECT_EQ(m.GetUpperRange(), 100.0f); // not converted
    logic.OnUnitsChanged(0);              // the empty entry: the limits' units stay on the labels, no limits
    EXPECT_EQ(logic.Shown().unitText, "°K");
    EXPECT_TRUE(logic.Shown().lowerLimit.empty());
    EXPECT_EQ(m.GetRangeUnits(), kUnitsNotSet);
    // A rejected field keeps its flag through a refresh.
    m.SetRangeUnits(kUnitsCelsius);
    m.SetFieldError(Field::RangeUnits, true);
    logic.Refresh();
    EXPECT_TRUE(m.GetFieldError(Field::RangeUnits));
}

TEST(BasicPageLogicTest, TheSendChecksInTheirOrder) {
    const float nan = NotANumber;
    const struct {
        std::int32_t s, c, u;
        float a, b;
        int message;
    } cases[] = {
        {251, 251, 32, nan, nan, str::kUnitsWithoutSensor},
        {1, 251, 38, nan, nan, 1264},
        {251, 3, 38, nan, nan, 1265},
        {1, 3, 32, 0.0f, nan, 1266},
        {1, 3, 32, nan, 100.0f, 1267},
        {251, 251, 38, nan, nan, 0},
        {1, 3, 32, 10.0f, 10.005f, 1268},
        {1, 3, 38, 0.0f, 100.0f, 1269},
        {1, 3, 38, 10.0f, 10.005f, 1268}, // a tiny span is told first, even without units
        {1, 3, 32, -200.004f, 100.0f, 0},
        {1, 3, 32, -200.006f, 100.0f, 1270},
        {1, 3, 32, 0.0f, 850.004f, 0},
        {1, 3, 32, 0.0f, 850.006f, 1271},
        {1, 3, 32, 100.0f, 0.0f, 0},
        {1, 3, 32, -50.0f, 50.0f, 0},
    };
    for (const auto& c : cases) {
        BasicSendInput in{c.s, c.c, c.u, c.a, c.b, -200.0f, 850.0f};
        EXPECT_EQ(BasicSendCheck(in), c.message)
            << c.s << " " << c.c << " " << c.u << " " << c.a << " " << c.b;
    }
}

TEST(AdvancedPageTest, TheLevelChecksInTheirOrder) {
    const float nan = NotANumber;
    const struct {
        float la, ha, ls, hs;
        int message;
    } cases[] = {
        {3.50f, 21.00f, 3.70f, 20.50f, 0},    {nan, nan, nan, nan, 0},
        {3.50f, nan, nan, nan, 1253},         {3.40f, 21.00f, 3.70f, 20.50f, 1254},
        {3.80f, 21.00f, 3.90f, 20.50f, 1255}, {3.60f, 21.00f, 3.60f, 20.50f, 1256},
        {3.75f, 21.00f, 3.80f, 20.50f, 1257}, {3.75f, 21.00f, 3.85f, 20.50f, 0},
        {3.50f, 21.00f, 3.95f, 20.50f, 1258}, {3.50f, 21.00f, 3.70f, 20.40f, 1259},
        {3.50f, 21.00f, 3.70f, 21.00f, 1260}, {3.50f, 20.99f, 3.70f, 20.50f, 1261},
        {3.50f, 23.10f, 3.70f, 20.50f, 1262},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdvancedSendCheck(c.la, c.ha, c.ls, c.hs), c.message)
            << c.la << " " << c.ha << " " << c.ls << " " << c.hs;
}

} // namespace
} // namespace zelhart::ui
