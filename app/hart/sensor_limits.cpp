#include "hart/sensor_limits.h"

#include "hart/strings.h"
#include "hart/transmitter_model_fields.h"

#include <array>

namespace {

struct SensorKind {
    std::int32_t code;  // device code
    float lowerCelsius; // temperature limits, °C (NaN for the electrical inputs)
    float upperCelsius;
    float lowerElectrical; // ohm for indices 1-10 and 21, millivolt for 11-20
    float upperElectrical;
};

constexpr float N = NotANumber;

// Row i - 1 is user-interface index i; the order is that of the sensor list (strings 700-720).
constexpr std::array<SensorKind, kSensorKindCount> kSensors{{
    {1, -200.0f, 850.0f, 18.52f, 390.4811f},        // PT100 (a = 0.00385)
    {3, -200.0f, 850.0f, 37.04f, 780.9622f},        // PT200 (a = 0.00385)
    {4, -200.0f, 850.0f, 92.6f, 1952.4055f},        // PT500 (a = 0.00385)
    {7, -200.0f, 300.0f, 185.1995f, 2120.525f},     // PT1000 (a = 0.00385)
    {14, -200.0f, 500.0f, 8.6233f, 150.3365f},      // PT50 (a = 0.00391)
    {15, -200.0f, 550.0f, 17.2466f, 300.6731f},     // PT100 (a = 0.00391)
    {10, -50.0f, 200.0f, 39.35f, 92.6001f},         // CU50 (a = 0.00426)
    {11, -185.0f, 200.0f, 9.122f, 92.8f},           // CU50 (a = 0.00428)
    {12, -50.0f, 200.0f, 78.7f, 185.2001f},         // CU100 (a = 0.00426)
    {13, -185.0f, 200.0f, 18.244f, 185.6f},         // CU100 (a = 0.00428)
    {129, 100.0f, 1820.0f, 0.0331935f, 13.820099f}, // thermocouple B
    {130, -200.0f, 1000.0f, -8.82465f, 76.37284f},  // thermocouple E
    {131, -180.0f, 760.0f, -7.402251f, 42.91867f},  // thermocouple J
    {132, -180.0f, 1372.0f, -5.550201f, 54.88589f}, // thermocouple K
    {133, -200.0f, 1300.0f, -3.99143f, 47.5133f},   // thermocouple N
    {134, 0.0f, 1768.0f, -0.000055f, 21.101477f},   // thermocouple R
    {135, 0.0f, 1768.0f, -0.00004f, 18.6927f},      // thermocouple S
    {136, -200.0f, 400.0f, -5.6029f, 20.87238f},    // thermocouple T
    {143, -200.0f, 800.0f, -9.488246f, 66.46612f},  // thermocouple L
    {128, N, N, -10.0f, 100.0f},                    // millivolt input
    {0, N, N, 0.0f, 2000.0f},                       // resistance input
}};

struct UnitScale {
    float scale;
    float offset;
};
// Conversion from °C for units 32..35: value = °C * scale + offset.
constexpr std::array<UnitScale, 4> kTemperatureUnits{{
    {1.0f, 0.0f},       // °C
    {1.8f, 32.0f},      // °F
    {1.8f, 491.66998f}, // °R
    {1.0f, 273.15f},    // K
}};

float FromCelsius(float celsius, const UnitScale& unit) {
    // Two roundings, as in single-precision arithmetic: the product, then the sum.
    const float scaled = celsius * unit.scale;
    return scaled + unit.offset;
}

} // namespace

std::int32_t SensorCodeFromIndex(int index) {
    if (index < 1 || index > kSensorKindCount) return kSensorNone;
    return kSensors[static_cast<std::size_t>(index - 1)].code;
}

int SensorIndexFromCode(std::int32_t code) {
    for (std::size_t i = 0; i < kSensors.size(); ++i)
        if (kSensors[i].code == code) return static_cast<int>(i) + 1;
    return kSensorNone;
}

SensorLimitPair SensorLimits(int i, std::int32_t u) {
    const SensorLimitPair none{NotANumber, NotANumber};
    if (i < 1 || i > kSensorKindCount || u == kUnitsNotSet) return none;
    const SensorKind& kind = kSensors[static_cast<std::size_t>(i - 1)];
    if (i <= 19 && u >= kUnitsCelsius && u <= kUnitsKelvin) {
        const UnitScale& unit = kTemperatureUnits[static_cast<std::size_t>(u - kUnitsCelsius)];
        return {FromCelsius(kind.lowerCelsius, unit), FromCelsius(kind.upperCelsius, unit)};
    }
    const bool resistance = (i <= 10 || i == 21) && u == kUnitsOhm;
    const bool millivolt = (i >= 11 && i <= 20) && u == kUnitsMillivolt;
    if (resistance || millivolt) return {kind.lowerElectrical, kind.upperElectrical};
    return none;
}

int UnitTextId(std::int32_t unitsCode) {
    if (unitsCode < kUnitsCelsius || unitsCode > kUnitsOhm) return 0;
    return 800 + (unitsCode - kUnitsCelsius);
}

std::string_view UnitText(std::int32_t unitsCode) {
    const int id = UnitTextId(unitsCode);
    return id == 0 ? std::string_view() : zelhart::hart::LoadString(id);
}
