#include "hart/sensor_limits.h"
#include "hart/transmitter_model_fields.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>

namespace {

std::uint32_t Bits(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

void ExpectNone(int index, std::int32_t units) {
    const SensorLimitPair p = SensorLimits(index, units);
    EXPECT_EQ(Bits(p.lower), kNotANumberBits) << "index " << index << " units " << units;
    EXPECT_EQ(Bits(p.upper), kNotANumberBits) << "index " << index << " units " << units;
}

TEST(SensorLimits, ExamplesInSinglePrecision) {
    SensorLimitPair p = SensorLimits(1, kUnitsFahrenheit);
    EXPECT_EQ(p.lower, -328.0f);
    EXPECT_EQ(p.upper, 1562.0f);

    p = SensorLimits(1, kUnitsKelvin);
    EXPECT_NEAR(p.lower, 73.15, 1e-4);
    EXPECT_NEAR(p.upper, 1123.15, 1e-3);
    // -200 + 273.15f rounds to the float below 73.15f; a double computation would give 73.15f.
    EXPECT_EQ(Bits(p.lower), 0x42924CCCu);
    EXPECT_EQ(Bits(p.upper), 0x448C64CDu);

    p = SensorLimits(14, kUnitsRankine);
    EXPECT_NEAR(p.lower, 167.67, 1e-4);
    EXPECT_NEAR(p.upper, 2961.27, 1e-3);
    EXPECT_EQ(Bits(p.lower), 0x4327AB84u);
    EXPECT_EQ(Bits(p.upper), 0x45391451u);
}

// Expected bit patterns of every thermometer in every temperature unit, each computed as
// round(round(°C × s) + o) in IEEE single precision.
struct TemperatureRow {
    int index;
    std::array<std::uint32_t, 8> bits; // lower, upper for °C, °F, °R, K
};

const TemperatureRow kTemperatureRows[] = {
    {1, {0xC3480000, 0x44548000, 0xC3A40000, 0x44C34000, 0x4303AB84, 0x44FCB570, 0x42924CCC, 0x448C64CD}},
    {2, {0xC3480000, 0x44548000, 0xC3A40000, 0x44C34000, 0x4303AB84, 0x44FCB570, 0x42924CCC, 0x448C64CD}},
    {3, {0xC3480000, 0x44548000, 0xC3A40000, 0x44C34000, 0x4303AB84, 0x44FCB570, 0x42924CCC, 0x448C64CD}},
    {4, {0xC3480000, 0x43960000, 0xC3A40000, 0x440F0000, 0x4303AB84, 0x4480F570, 0x42924CCC, 0x440F499A}},
    {5, {0xC3480000, 0x43FA0000, 0xC3A40000, 0x44690000, 0x4303AB84, 0x44ADF570, 0x42924CCC, 0x4441499A}},
    {6, {0xC3480000, 0x44098000, 0xC3A40000, 0x447F8000, 0x4303AB84, 0x44B93570, 0x42924CCC, 0x444DC99A}},
    {7, {0xC2480000, 0x43480000, 0xC2680000, 0x43C40000, 0x43C8D5C2, 0x4454EAE1, 0x435F2666, 0x43EC9333}},
    {8, {0xC3390000, 0x43480000, 0xC3968000, 0x43C40000, 0x431EAB84, 0x4454EAE1, 0x42B04CCC, 0x43EC9333}},
    {9, {0xC2480000, 0x43480000, 0xC2680000, 0x43C40000, 0x43C8D5C2, 0x4454EAE1, 0x435F2666, 0x43EC9333}},
    {10, {0xC3390000, 0x43480000, 0xC3968000, 0x43C40000, 0x431EAB84, 0x4454EAE1, 0x42B04CCC, 0x43EC9333}},
    {11, {0x42C80000, 0x44E38000, 0x43540000, 0x454EC000, 0x4427EAE1, 0x456B7AB8, 0x43BA9333, 0x4502D266}},
    {12, {0xC3480000, 0x447A0000, 0xC3A40000, 0x44E50000, 0x4303AB84, 0x450F3AB8, 0x42924CCC, 0x449F24CD}},
    {13, {0xC3340000, 0x443E0000, 0xC3920000, 0x44AF0000, 0x4327AB84, 0x44E87570, 0x42BA4CCC, 0x448124CD}},
    {14, {0xC3340000, 0x44AB8000, 0xC3920000, 0x451C5999, 0x4327AB84, 0x45391451, 0x42BA4CCC, 0x44CDA4CD}},
    {15, {0xC3480000, 0x44A28000, 0xC3A40000, 0x45144000, 0x4303AB84, 0x4530FAB8, 0x42924CCC, 0x44C4A4CD}},
    {16, {0x00000000, 0x44DD0000, 0x42000000, 0x4548E666, 0x43F5D5C2, 0x4565A11E, 0x43889333, 0x44FF24CD}},
    {17, {0x00000000, 0x44DD0000, 0x42000000, 0x4548E666, 0x43F5D5C2, 0x4565A11E, 0x43889333, 0x44FF24CD}},
    {18, {0xC3480000, 0x43C80000, 0xC3A40000, 0x443C0000, 0x4303AB84, 0x44977570, 0x42924CCC, 0x4428499A}},
    {19, {0xC3480000, 0x44480000, 0xC3A40000, 0x44B80000, 0x4303AB84, 0x44F17570, 0x42924CCC, 0x448624CD}},
};

TEST(SensorLimits, EveryThermometerInEveryTemperatureUnit) {
    for (const TemperatureRow& row : kTemperatureRows) {
        for (int u = 0; u < 4; ++u) {
            const SensorLimitPair p = SensorLimits(row.index, kUnitsCelsius + u);
            EXPECT_EQ(Bits(p.lower), row.bits[2 * u]) << "index " << row.index << " units " << 32 + u;
            EXPECT_EQ(Bits(p.upper), row.bits[2 * u + 1]) << "index " << row.index << " units " << 32 + u;
        }
    }
}

struct ElectricalRow {
    int index;
    std::int32_t units;
    float lower;
    float upper;
};

const ElectricalRow kElectricalRows[] = {
    {1, kUnitsOhm, 18.52f, 390.4811f},
    {2, kUnitsOhm, 37.04f, 780.9622f},
    {3, kUnitsOhm, 92.6f, 1952.4055f},
    {4, kUnitsOhm, 185.1995f, 2120.525f},
    {5, kUnitsOhm, 8.6233f, 150.3365f},
    {6, kUnitsOhm, 17.2466f, 300.6731f},
    {7, kUnitsOhm, 39.35f, 92.6001f},
    {8, kUnitsOhm, 9.122f, 92.8f},
    {9, kUnitsOhm, 78.7f, 185.2001f},
    {10, kUnitsOhm, 18.244f, 185.6f},
    {11, kUnitsMillivolt, 0.0331935f, 13.820099f},
    {12, kUnitsMillivolt, -8.82465f, 76.37284f},
    {13, kUnitsMillivolt, -7.402251f, 42.91867f},
    {14, kUnitsMillivolt, -5.550201f, 54.88589f},
    {15, kUnitsMillivolt, -3.99143f, 47.5133f},
    {16, kUnitsMillivolt, -0.000055f, 21.101477f},
    {17, kUnitsMillivolt, -0.00004f, 18.6927f},
    {18, kUnitsMillivolt, -5.6029f, 20.87238f},
    {19, kUnitsMillivolt, -9.488246f, 66.46612f},
    {20, kUnitsMillivolt, -10.0f, 100.0f},
    {21, kUnitsOhm, 0.0f, 2000.0f},
};

TEST(SensorLimits, ElectricalRangeInTheSensorsOwnUnit) {
    for (const ElectricalRow& row : kElectricalRows) {
        const SensorLimitPair p = SensorLimits(row.index, row.units);
        EXPECT_EQ(Bits(p.lower), Bits(row.lower)) << "index " << row.index;
        EXPECT_EQ(Bits(p.upper), Bits(row.upper)) << "index " << row.index;
    }
}

TEST(SensorLimits, CombinationsWithoutLimitsAreNotSet) {
    for (std::int32_t u = 30; u <= 40; ++u) {
        ExpectNone(0, u);  // no sensor
        ExpectNone(22, u); // beyond the table
        ExpectNone(-1, u);
    }
    for (int i = 1; i <= kSensorKindCount; ++i) {
        ExpectNone(i, kUnitsNotSet); // even the millivolt and resistance inputs
        ExpectNone(i, 31);
        ExpectNone(i, 39);
    }
    for (int i = 1; i <= 10; ++i)
        ExpectNone(i, kUnitsMillivolt); // resistance thermometer in mV
    for (int i = 11; i <= 19; ++i)
        ExpectNone(i, kUnitsOhm); // thermocouple in Ohm
    for (std::int32_t u = kUnitsCelsius; u <= kUnitsKelvin; ++u) {
        ExpectNone(20, u); // millivolt input in a temperature unit
        ExpectNone(21, u);
    }
    ExpectNone(20, kUnitsOhm);
    ExpectNone(21, kUnitsMillivolt);
}

TEST(UnitText, CodesAndTexts) {
    const char* texts[] = {"°C", "°F", "°R", "°K", "мВ", "Ом"};
    for (std::int32_t code = 32; code <= 37; ++code) {
        EXPECT_EQ(UnitText(code), texts[code - 32]);
        EXPECT_EQ(UnitTextId(code), 800 + code - 32);
    }
    for (std::int32_t code : {0, 31, 38, 251, -32}) {
        EXPECT_TRUE(UnitText(code).empty()) << code;
        EXPECT_EQ(UnitTextId(code), 0) << code;
    }
}

} // namespace
