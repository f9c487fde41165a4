#include "report.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <cstdio>

namespace zelhart::cli {
namespace {

using hart::LoadString;
using hart::Utf8;
namespace str = hart::str;

std::string Text(int id) {
    return std::string(LoadString(id));
}

// A list entry of a code, as the pages show it: `first` is the string of code 0; empty otherwise.
std::string Choice(int32_t code, int first, int count) {
    return code >= 0 && code < count ? Text(first + code) : std::string();
}

// The connection list of the basic page: three entries for resistance sensors, one for thermocouples
// and the millivolt input, none without a sensor.
std::string ConnectionText(int32_t sensorCode, int32_t connection) {
    const int sensor = SensorIndexFromCode(sensorCode);
    if (sensor < 1 || sensor > kSensorKindCount) return {};
    if (sensor >= 11 && sensor <= 20) return Text(str::kConnectionTwoWire);
    return connection >= 2 && connection <= 4 ? Text(str::kConnectionTwoWire + connection - 2)
                                              : std::string();
}

std::string SensorText(int32_t sensorCode) {
    const int sensor = SensorIndexFromCode(sensorCode);
    return sensor >= 1 && sensor <= kSensorKindCount ? Text(str::kFirstSensorName + sensor - 1)
                                                     : std::string();
}

std::string Integer(long long v) {
    return std::to_string(v);
}

std::string Date(int day, int month, int year) {
    char b[32];
    std::snprintf(b, sizeof b, "%d.%d.%d", day, month, 1900 + year);
    return b;
}

} // namespace

std::string FormatNumber(float value, int decimals) {
    if (IsNotSet(value)) return {};
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, double(value));
    return b;
}

void PrintRow(std::FILE* out, std::string_view label, const std::string& value, std::string_view unit) {
    std::fprintf(out, "%.*s:", int(label.size()), label.data());
    if (!value.empty()) std::fprintf(out, " %s", value.c_str());
    if (!value.empty() && !unit.empty()) std::fprintf(out, " %.*s", int(unit.size()), unit.data());
    std::fputc('\n', out);
}

void PrintBasic(std::FILE* out, const CTransmitterModel& m) {
    // The unit labels show the range units, or the limits' units while no range units are chosen.
    const int32_t units = m.GetRangeUnits() != kUnitsNotSet ? m.GetRangeUnits() : m.GetLimitUnits();
    const std::string_view unit = UnitText(units);
    // Limits the transmitter reported, else those of the sensor table in the chosen units.
    float lower = m.GetLowerSensorLimit(), upper = m.GetUpperSensorLimit();
    if (IsNotSet(lower) && IsNotSet(upper)) {
        const SensorLimitPair table = SensorLimits(SensorIndexFromCode(m.GetSensorType()), units);
        lower = table.lower;
        upper = table.upper;
    }
    std::string tag = Utf8(m.GetTag());
    while (!tag.empty() && tag.back() == ' ')
        tag.pop_back();
    PrintRow(out, LoadString(str::kLabelTag), tag);
    PrintRow(out, LoadString(str::kLabelSensorType), SensorText(m.GetSensorType()));
    PrintRow(out, LoadString(str::kLabelConnection),
             ConnectionText(m.GetSensorType(), m.GetSensorConnection()));
    PrintRow(out, LoadString(str::kLabelLowerRange), FormatNumber(m.GetLowerRange(), 2), unit);
    PrintRow(out, LoadString(str::kLabelUpperRange), FormatNumber(m.GetUpperRange(), 2), unit);
    PrintRow(out, LoadString(str::kLabelLowerLimit), FormatNumber(lower, 2), unit);
    PrintRow(out, LoadString(str::kLabelUpperLimit), FormatNumber(upper, 2), unit);
    PrintRow(out, LoadString(str::kLabelDamping), FormatNumber(m.GetDamping(), 1), LoadString(str::kSeconds));
}

void PrintAdvanced(std::FILE* out, const CTransmitterModel& m) {
    const std::string_view mA = LoadString(str::kMilliamperes);
    PrintRow(out, LoadString(str::kLabelAlarmType), Choice(m.GetAlarmType(), str::kAlarmHigh, 2));
    PrintRow(out, LoadString(str::kLabelLowAlarm), FormatNumber(m.GetLowAlarm(), 2), mA);
    PrintRow(out, LoadString(str::kLabelHighAlarm), FormatNumber(m.GetHighAlarm(), 2), mA);
    PrintRow(out, LoadString(str::kLabelLowSaturation), FormatNumber(m.GetLowSaturation(), 2), mA);
    PrintRow(out, LoadString(str::kLabelHighSaturation), FormatNumber(m.GetHighSaturation(), 2), mA);
    PrintRow(out, LoadString(str::kLabelFilter), Choice(m.GetFilter(), str::kFilter60Hz, 2));
    PrintRow(out, LoadString(str::kLabelWriteProtect), Choice(m.GetWriteProtect(), str::kProtectionOff, 2));
}

void PrintInformation(std::FILE* out, const CTransmitterModel& m) {
    const bool current = IsSet(m.GetLoopCurrent());
    auto fault = [&](int32_t on) { return current ? Text(on ? str::kYes : str::kNo) : std::string(); };
    const bool identified = m.GetUniversalRev() != 0;
    PrintRow(out, LoadString(str::kLabelMeasuredValue), FormatNumber(m.GetMeasuredValue(), 2),
             UnitText(m.GetMeasuredUnits()));
    PrintRow(out, LoadString(str::kLabelLoopCurrent), FormatNumber(m.GetLoopCurrent(), 2),
             LoadString(str::kMilliamperes));
    PrintRow(out, LoadString(str::kLabelDeviceTemp), FormatNumber(m.GetDeviceTemp(), 2),
             UnitText(m.GetDeviceTempUnits()));
    PrintRow(out, LoadString(str::kLabelSensorFault), fault(m.GetSensorFault()));
    PrintRow(out, LoadString(str::kLabelDeviceFault), fault(m.GetDeviceFault()));
    PrintRow(out, LoadString(str::kLabelSoftwareVersion),
             identified ? Integer(m.GetUniversalRev()) + "." + Integer(m.GetDeviceRev()) + "." +
                              Integer(m.GetSoftwareRev())
                        : std::string());
    PrintRow(out, LoadString(str::kLabelHardwareVersion), identified ? Integer(m.GetHardwareRevByte()) : "");
    PrintRow(out, LoadString(str::kLabelFinalAssembly), identified ? Integer(m.GetFinalAssembly()) : "");
    PrintRow(out, LoadString(str::kLabelDate),
             identified ? Date(m.GetDateDay(), m.GetDateMonth(), m.GetDateYear()) : "");
}

void PrintThermometer(std::FILE* out, const CTransmitterModel& m) {
    // Letters A-E are 1-5; 0 is none.
    std::string armature;
    if (m.GetArmatureLetter() >= 1 && m.GetArmatureLetter() <= 5)
        armature = std::string(1, char('A' + m.GetArmatureLetter() - 1)) + Integer(m.GetArmatureNumber());
    PrintRow(out, "Код арматуры", armature);
    PrintRow(out, "Головка", Integer(m.GetHead()));
    PrintRow(out, "Кабельный ввод", Integer(m.GetCableEntry()));
    PrintRow(out, "Исполнение", Integer(m.GetExecution()));
    PrintRow(out, "Монтажная длина", Integer(m.GetMountingLength()), "мм");
    PrintRow(out, "Дата сборки термометра",
             Date(m.GetAssemblyDay(), m.GetAssemblyMonth(), m.GetAssemblyYear()));
    PrintRow(out, "Серийный номер термометра", Integer(m.GetThermometerSerial()));
}

void PrintIdentity(std::FILE* out, const CTransmitterModel& m) {
    PrintRow(out, "Код изготовителя", Integer(m.GetManufacturerId()));
    PrintRow(out, "Тип устройства", Integer(m.GetDeviceType()));
    PrintRow(out, "Идентификатор устройства", Integer(m.GetDeviceId()));
}

} // namespace zelhart::cli
