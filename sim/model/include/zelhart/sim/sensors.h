// The Korvel-4810's sensor inputs: which sensor types it knows, their measuring limits, and how a
// value is expressed in each unit the input allows.
//
// Every sensor has a base unit in which the transmitter measures: degrees Celsius for resistance
// thermometers and thermocouples, millivolt or ohm for the plain electrical inputs. Limits in a
// temperature unit are the Celsius limits converted (value * scale + offset, in single precision);
// limits in the sensor's electrical unit are its electrical range. Between a temperature and the
// electrical unit the transmitter maps linearly over the sensor's range.
#pragma once

#include <cstdint>
#include <optional>

namespace zelhart::sim {

// HART unit codes.
inline constexpr uint8_t kUnitCelsius = 32;
inline constexpr uint8_t kUnitFahrenheit = 33;
inline constexpr uint8_t kUnitRankine = 34;
inline constexpr uint8_t kUnitKelvin = 35;
inline constexpr uint8_t kUnitMillivolt = 36;
inline constexpr uint8_t kUnitOhm = 37;
inline constexpr uint8_t kUnitNotUsed = 250;

// Sensor type codes of the resistance input and the millivolt input.
inline constexpr uint8_t kSensorOhmInput = 0;
inline constexpr uint8_t kSensorMillivoltInput = 128;

enum class SensorClass { ResistanceThermometer, Thermocouple, MillivoltInput, OhmInput };

struct SensorInfo {
    uint8_t code;
    SensorClass kind;
    float lowerCelsius;   // unused for the electrical inputs
    float upperCelsius;
    uint8_t electricalUnit; // kUnitOhm or kUnitMillivolt
    float lowerElectrical;
    float upperElectrical;
};

// The sensor with this type code, or nothing when the transmitter does not know it.
const SensorInfo* FindSensor(uint8_t code);

bool IsTemperatureUnit(uint8_t units);
uint8_t BaseUnit(const SensorInfo& sensor);
// Units in which the input may report its value and take range values and calibration points.
bool UnitAllowed(const SensorInfo& sensor, uint8_t units);
// Connection codes (2, 3 or 4 wires) the input can be wired with.
bool ConnectionAllowed(const SensorInfo& sensor, uint8_t connection);

struct Limits {
    float lower;
    float upper;
};
// The sensor's measuring limits in `units`; nothing when the units are not allowed.
std::optional<Limits> SensorLimits(const SensorInfo& sensor, uint8_t units);

// The smallest span between the range values, in `units` (allowed units only).
float MinimumSpan(const SensorInfo& sensor, uint8_t units);

// A value in base units expressed in `units`, and back (allowed units only; NaN otherwise).
float FromBase(const SensorInfo& sensor, float base, uint8_t units);
float ToBase(const SensorInfo& sensor, float value, uint8_t units);

} // namespace zelhart::sim
