// The 21 sensor kinds the transmitter accepts: user-interface index <-> device code, their measuring
// limits in a requested unit, and the display text of a units code.
#pragma once

#include <cstdint>
#include <string_view>

// Number of sensor kinds; the user interface numbers them 1..21 (0 = none).
inline constexpr int kSensorKindCount = 21;

// Device code of a user-interface sensor index; 251 (none) for an index not in the table, 0 included.
std::int32_t SensorCodeFromIndex(int index);
// User-interface index of a device code; 251 for a code not in the table (the pages show no selection).
int SensorIndexFromCode(std::int32_t code);

struct SensorLimitPair {
    float lower;
    float upper;
};

// Measuring limits of sensor index 1..21 in units code 32..37, computed in single precision. Either
// value is NotANumber for a combination that has no limits (no sensor, units not set, a temperature
// unit for the millivolt or resistance input, an electrical unit that is not the sensor's own).
SensorLimitPair SensorLimits(int sensorIndex, std::int32_t unitsCode);

// String id of a unit's display text: 800 + (code - 32) for codes 32..37, else 0.
int UnitTextId(std::int32_t unitsCode);
// Display text of a units code ("°C", "°F", "°R", "°K", "мВ", "Ом", UTF-8); empty for any other code.
std::string_view UnitText(std::int32_t unitsCode);
