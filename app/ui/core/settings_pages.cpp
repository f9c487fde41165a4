#include "core/settings_pages.h"

#include "core/page_lists.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <cmath>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

int SensorIndexOf(std::int32_t code) {
    const int s = SensorIndexFromCode(code);
    return s >= 1 && s <= kSensorKindCount ? s : 0; // a code not in the table: nothing selected
}

} // namespace

BasicPageLogic::BasicPageLogic(CTransmitterModel& model) : m_(model) {
    RebuildLists();
}

void BasicPageLogic::RebuildLists() {
    const int s = shown_.choice.sensor;
    shown_.connectionTexts = ConnectionEntries(s);
    shown_.unitsCodes = UnitsEntries(s);
    shown_.choice.connection = ConnectionIndexFromCode(s, m_.GetSensorConnection());
    shown_.choice.units = UnitsIndexFromCode(s, m_.GetRangeUnits());
}

void BasicPageLogic::ShowLimits(bool shown) {
    shown_.lowerLimit = shown ? FormatNumber(m_.GetLowerSensorLimit(), 2) : std::string();
    shown_.upperLimit = shown ? FormatNumber(m_.GetUpperSensorLimit(), 2) : std::string();
}

void BasicPageLogic::OnSensorChanged(int s) {
    shown_.choice.sensor = s;
    RebuildLists();
    m_.SetSensorType(SensorCodeFromIndex(s));
    const std::int32_t units = UnitsCodeFromIndex(s, shown_.choice.units);
    shown_.unitText = std::string(UnitText(units));
    const SensorLimitPair limits = SensorLimits(s, units);
    m_.SetLowerSensorLimit(limits.lower);
    m_.SetUpperSensorLimit(limits.upper);
    ShowLimits(true);
    m_.SetSensorConnection(ConnectionCodeFromIndex(shown_.choice.connection));
    if (s == 0) {
        shown_.unitText.clear();
        m_.SetLowerSensorLimit(NotANumber);
        m_.SetUpperSensorLimit(NotANumber);
        ShowLimits(false);
    }
    m_.SetRangeUnits(units);
}

void BasicPageLogic::OnConnectionChanged(int index) {
    shown_.choice.connection = index;
    m_.SetSensorConnection(ConnectionCodeFromIndex(index));
}

void BasicPageLogic::OnUnitsChanged(int u) {
    const int s = shown_.choice.sensor;
    shown_.choice.units = u;
    const std::int32_t c = UnitsCodeFromIndex(s, u);
    if (c == kUnitsNotSet) {
        shown_.unitText = std::string(UnitText(m_.GetLimitUnits()));
    } else {
        m_.SetLimitUnits(c);
        shown_.unitText = std::string(UnitText(c));
    }
    const SensorLimitPair limits = SensorLimits(s, c);
    m_.SetLowerSensorLimit(limits.lower);
    m_.SetUpperSensorLimit(limits.upper);
    ShowLimits(s != 0 && u != 0);
    if (m_.GetRangeUnits() != c) m_.SetRangeUnits(c);
}

void BasicPageLogic::Refresh() {
    shown_.choice.sensor = SensorIndexOf(m_.GetSensorType());
    RebuildLists();
    OnUnitsChanged(shown_.choice.units);
    RebuildLists(); // the units change may have stored other range units
}

int BasicPageLogic::SendCheck() const {
    const int s = shown_.choice.sensor;
    BasicSendInput in;
    in.sensor = SensorCodeFromIndex(s);
    in.connection = ConnectionCodeFromIndex(shown_.choice.connection);
    in.units = UnitsCodeFromIndex(s, shown_.choice.units);
    in.lower = m_.GetLowerRange();
    in.upper = m_.GetUpperRange();
    in.lowerLimit = m_.GetLowerSensorLimit();
    in.upperLimit = m_.GetUpperSensorLimit();
    return BasicSendCheck(in);
}

int BasicSendCheck(const BasicSendInput& in) {
    const bool noSensor = in.sensor == kSensorNone, noConnection = in.connection == kSensorNone;
    const bool noUnits = in.units == kUnitsNotSet;
    const float a = in.lower, b = in.upper;
    if (!noUnits && (noSensor || noConnection)) return str::kUnitsWithoutSensor;
    if (!noSensor && noConnection) return str::kUnitsWithoutSensor + 1;
    if (noSensor && !noConnection) return str::kUnitsWithoutSensor + 2;
    if (IsSet(a) && IsNotSet(b)) return str::kUnitsWithoutSensor + 3;
    if (IsNotSet(a) && IsSet(b)) return str::kUnitsWithoutSensor + 4;
    if (IsNotSet(a) && IsNotSet(b)) return 0;
    // The span of a reversed range (20 mA point below the 4 mA point) counts by its size too.
    if (std::fabs(b - a) < 0.01f) return str::kUnitsWithoutSensor + 5;
    if (noUnits || noSensor || noConnection) return str::kUnitsWithoutSensor + 6;
    if (in.lowerLimit - a > 0.005f) return str::kUnitsWithoutSensor + 7;
    if (b - in.upperLimit > 0.005f) return str::kUnitsWithoutSensor + 8;
    return 0;
}

int AdvancedSendCheck(float la, float ha, float ls, float hs) {
    const int set = IsSet(la) + IsSet(ha) + IsSet(ls) + IsSet(hs);
    if (set == 0) return 0;
    const int first = str::kLevelsIncomplete;
    if (set != 4) return first;
    if (la < 3.4999f) return first + 1;
    if (la > 3.7501f) return first + 2;
    if (la <= 3.7f && ls < 3.6999f) return first + 3;
    if (la > 3.7f && ls < la + 0.1f) return first + 4;
    if (ls > 3.9001f) return first + 5;
    if (hs < 20.4999f) return first + 6;
    if (hs > 20.9001f) return first + 7;
    if (ha < 20.9999f) return first + 8;
    if (ha > 23.0001f) return first + 9;
    return 0;
}

std::vector<float> LevelPresets(int listControlId) {
    switch (listControlId) {
    case 147:
        return {3.50f};
    case 149:
        return {21.00f, 23.00f};
    case 151:
        return {3.70f, 3.90f};
    case 153:
        return {20.50f, 20.90f};
    default:
        return {};
    }
}

} // namespace zelhart::ui
