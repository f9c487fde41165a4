#include "zelhart/sim/sensors.h"

#include <array>
#include <cmath>
#include <limits>

namespace zelhart::sim {
namespace {

using K = SensorClass;

constexpr std::array<SensorInfo, 21> kSensors{{
    {1, K::ResistanceThermometer, -200.0f, 850.0f, kUnitOhm, 18.52f, 390.4811f},     // Pt100 a=0.00385
    {3, K::ResistanceThermometer, -200.0f, 850.0f, kUnitOhm, 37.04f, 780.9622f},     // Pt200
    {4, K::ResistanceThermometer, -200.0f, 850.0f, kUnitOhm, 92.6f, 1952.4055f},     // Pt500
    {7, K::ResistanceThermometer, -200.0f, 300.0f, kUnitOhm, 185.1995f, 2120.525f},  // Pt1000
    {14, K::ResistanceThermometer, -200.0f, 500.0f, kUnitOhm, 8.6233f, 150.3365f},   // Pt50 a=0.00391
    {15, K::ResistanceThermometer, -200.0f, 550.0f, kUnitOhm, 17.2466f, 300.6731f},  // Pt100 a=0.00391
    {10, K::ResistanceThermometer, -50.0f, 200.0f, kUnitOhm, 39.35f, 92.6001f},      // Cu50 a=0.00426
    {11, K::ResistanceThermometer, -185.0f, 200.0f, kUnitOhm, 9.122f, 92.8f},        // Cu50 a=0.00428
    {12, K::ResistanceThermometer, -50.0f, 200.0f, kUnitOhm, 78.7f, 185.2001f},      // Cu100 a=0.00426
    {13, K::ResistanceThermometer, -185.0f, 200.0f, kUnitOhm, 18.244f, 185.6f},      // Cu100 a=0.00428
    {129, K::Thermocouple, 100.0f, 1820.0f, kUnitMillivolt, 0.0331935f, 13.820099f}, // type B
    {130, K::Thermocouple, -200.0f, 1000.0f, kUnitMillivolt, -8.82465f, 76.37284f},  // type E
    {131, K::Thermocouple, -180.0f, 760.0f, kUnitMillivolt, -7.402251f, 42.91867f},  // type J
    {132, K::Thermocouple, -180.0f, 1372.0f, kUnitMillivolt, -5.550201f, 54.88589f}, // type K
    {133, K::Thermocouple, -200.0f, 1300.0f, kUnitMillivolt, -3.99143f, 47.5133f},   // type N
    {134, K::Thermocouple, 0.0f, 1768.0f, kUnitMillivolt, -0.000055f, 21.101477f},   // type R
    {135, K::Thermocouple, 0.0f, 1768.0f, kUnitMillivolt, -0.00004f, 18.6927f},      // type S
    {136, K::Thermocouple, -200.0f, 400.0f, kUnitMillivolt, -5.6029f, 20.87238f},    // type T
    {143, K::Thermocouple, -200.0f, 800.0f, kUnitMillivolt, -9.488246f, 66.46612f},  // type L
    {kSensorMillivoltInput, K::MillivoltInput, 0.0f, 0.0f, kUnitMillivolt, -10.0f, 100.0f},
    {kSensorOhmInput, K::OhmInput, 0.0f, 0.0f, kUnitOhm, 0.0f, 2000.0f},
}};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Scale {
    float scale;
    float offset;
};

Scale TemperatureScale(uint8_t units) {
    switch (units) {
    case kUnitFahrenheit: return {1.8f, 32.0f};
    case kUnitRankine: return {1.8f, 491.66998f};
    case kUnitKelvin: return {1.0f, 273.15f};
    default: return {1.0f, 0.0f};
    }
}

bool IsElectricalInput(const SensorInfo& s) {
    return s.kind == K::MillivoltInput || s.kind == K::OhmInput;
}

// Electrical units per degree Celsius of the linear map over the sensor's range.
float ElectricalSlope(const SensorInfo& s) {
    return (s.upperElectrical - s.lowerElectrical) / (s.upperCelsius - s.lowerCelsius);
}

} // namespace

const SensorInfo* FindSensor(uint8_t code) {
    for (const auto& s : kSensors)
        if (s.code == code) return &s;
    return nullptr;
}

bool IsTemperatureUnit(uint8_t units) { return units >= kUnitCelsius && units <= kUnitKelvin; }

uint8_t BaseUnit(const SensorInfo& sensor) {
    return IsElectricalInput(sensor) ? sensor.electricalUnit : kUnitCelsius;
}

bool UnitAllowed(const SensorInfo& sensor, uint8_t units) {
    if (units == sensor.electricalUnit) return true;
    return !IsElectricalInput(sensor) && IsTemperatureUnit(units);
}

bool ConnectionAllowed(const SensorInfo& sensor, uint8_t connection) {
    if (sensor.kind == K::Thermocouple || sensor.kind == K::MillivoltInput) return connection == 2;
    return connection >= 2 && connection <= 4;
}

std::optional<Limits> SensorLimits(const SensorInfo& sensor, uint8_t units) {
    if (!UnitAllowed(sensor, units)) return std::nullopt;
    if (units == sensor.electricalUnit) return Limits{sensor.lowerElectrical, sensor.upperElectrical};
    Scale s = TemperatureScale(units);
    return Limits{sensor.lowerCelsius * s.scale + s.offset, sensor.upperCelsius * s.scale + s.offset};
}

float MinimumSpan(const SensorInfo& sensor, uint8_t units) {
    switch (sensor.kind) {
    case K::MillivoltInput: return 1.0f;
    case K::OhmInput: return 5.0f;
    default: break;
    }
    float celsius = sensor.kind == K::Thermocouple ? 20.0f : 10.0f;
    if (units == sensor.electricalUnit) return celsius * ElectricalSlope(sensor);
    return celsius * TemperatureScale(units).scale;
}

float FromBase(const SensorInfo& sensor, float base, uint8_t units) {
    if (!UnitAllowed(sensor, units)) return kNaN;
    if (IsElectricalInput(sensor)) return base;
    if (units == sensor.electricalUnit)
        return sensor.lowerElectrical + (base - sensor.lowerCelsius) * ElectricalSlope(sensor);
    Scale s = TemperatureScale(units);
    return base * s.scale + s.offset;
}

float ToBase(const SensorInfo& sensor, float value, uint8_t units) {
    if (!UnitAllowed(sensor, units)) return kNaN;
    if (IsElectricalInput(sensor)) return value;
    if (units == sensor.electricalUnit)
        return sensor.lowerCelsius + (value - sensor.lowerElectrical) / ElectricalSlope(sensor);
    Scale s = TemperatureScale(units);
    return (value - s.offset) / s.scale;
}

} // namespace zelhart::sim
