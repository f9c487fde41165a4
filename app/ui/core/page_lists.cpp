#include "core/page_lists.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"
#include "hart/transmitter_model_fields.h"

#include <cstdio>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

bool IsResistance(int s) {
    return (s >= 1 && s <= 10) || s == 21;
}
bool IsThermocoupleOrMillivolt(int s) {
    return s >= 11 && s <= 20;
}

} // namespace

std::vector<int> ConnectionEntries(int sensorIndex) {
    if (IsThermocoupleOrMillivolt(sensorIndex)) return {str::kConnectionTwoWire};
    return {str::kConnectionTwoWire, str::kConnectionTwoWire + 1, str::kConnectionTwoWire + 2};
}

std::int32_t ConnectionCodeFromIndex(int index) {
    switch (index) {
    case 0:
        return kSensorNone;
    case 2:
        return 3;
    case 3:
        return 4;
    default:
        return 2;
    }
}

int ConnectionIndexFromCode(int sensorIndex, std::int32_t code) {
    if (IsThermocoupleOrMillivolt(sensorIndex)) return 1;
    if (!IsResistance(sensorIndex)) return 0;
    return code >= 2 && code <= 4 ? code - 1 : 0;
}

std::vector<std::int32_t> UnitsEntries(int s) {
    if (s == 20) return {kUnitsMillivolt};
    if (s == 21) return {kUnitsOhm};
    if (IsResistance(s)) return {kUnitsCelsius, kUnitsFahrenheit, kUnitsRankine, kUnitsKelvin, kUnitsOhm};
    if (s >= 11 && s <= 19)
        return {kUnitsCelsius, kUnitsFahrenheit, kUnitsRankine, kUnitsKelvin, kUnitsMillivolt};
    return {kUnitsCelsius, kUnitsFahrenheit, kUnitsRankine, kUnitsKelvin, kUnitsMillivolt, kUnitsOhm};
}

std::int32_t UnitsCodeFromIndex(int s, int u) {
    if (s == 20 || s == 21) return u == 1 ? (s == 20 ? kUnitsMillivolt : kUnitsOhm) : kUnitsNotSet;
    switch (u) {
    case 1:
        return kUnitsCelsius;
    case 2:
        return kUnitsFahrenheit;
    case 3:
        return kUnitsRankine;
    case 4:
        return kUnitsKelvin;
    case 5:
        return s >= 1 && s <= 10 ? kUnitsOhm : kUnitsMillivolt;
    case 6:
        return kUnitsOhm;
    default:
        return kUnitsNotSet;
    }
}

int UnitsIndexFromCode(int s, std::int32_t code) {
    if (s == 0 || s > 21 || s < 0) return 0;
    if (s == 20 || s == 21) return code == kUnitsNotSet ? 0 : 1;
    switch (code) {
    case kUnitsCelsius:
        return 1;
    case kUnitsFahrenheit:
        return 2;
    case kUnitsRankine:
        return 3;
    case kUnitsKelvin:
        return 4;
    case kUnitsNotSet:
        return 0;
    default:
        return 5;
    }
}

std::string SensorText(std::int32_t sensorCode) {
    const int s = SensorIndexFromCode(sensorCode);
    if (s < 1 || s > kSensorKindCount) return {};
    return std::string(hart::LoadString(str::kFirstSensorName + s - 1));
}

int CodeListIndex(std::int32_t code) {
    return code == 0 ? 1 : code == 1 ? 2 : 0;
}

std::string CodeListText(std::int32_t code, int firstText) {
    const int index = CodeListIndex(code);
    return index == 0 ? std::string() : std::string(hart::LoadString(firstText + index - 1));
}

std::string FormatNumber(float value, int decimals) {
    if (IsNotSet(value)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, double(value));
    return text;
}

} // namespace zelhart::ui
