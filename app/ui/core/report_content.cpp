#include "core/report_content.h"

#include "core/page_lists.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <cstdio>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

std::string Text(int id) {
    return std::string(hart::LoadString(id));
}

std::string Integer(long long value) {
    return std::to_string(value);
}

std::vector<ReportRow> BasicSection(const CTransmitterModel& m) {
    const int sensor = SensorIndexFromCode(m.GetSensorType());
    // The units entry the page selects for the range units, and the unit labels it shows: those of
    // the entry, or of the limits' units while no entry is selected.
    const std::int32_t units = UnitsCodeFromIndex(sensor, UnitsIndexFromCode(sensor, m.GetRangeUnits()));
    const std::string unit(UnitText(units != kUnitsNotSet ? units : m.GetLimitUnits()));
    // The limits of the sensor table, shown only with both a sensor and a units entry selected.
    SensorLimitPair limits{NotANumber, NotANumber};
    if (sensor >= 1 && sensor <= kSensorKindCount && units != kUnitsNotSet) limits = SensorLimits(sensor, units);

    const std::vector<int> connections = ConnectionEntries(sensor);
    const int connection = ConnectionIndexFromCode(sensor, m.GetSensorConnection());
    std::string connectionText;
    if (connection >= 1 && connection <= int(connections.size())) connectionText = Text(connections[connection - 1]);

    std::string tag = Utf8(m.GetTag());
    while (!tag.empty() && tag.back() == ' ')
        tag.pop_back();
    return {
        {str::kLabelTag, tag, {}},
        {str::kLabelSensorType, SensorText(m.GetSensorType()), {}},
        {str::kLabelConnection, connectionText, {}},
        {str::kLabelLowerRange, FormatNumber(m.GetLowerRange(), 2), unit},
        {str::kLabelUpperRange, FormatNumber(m.GetUpperRange(), 2), unit},
        {str::kLabelLowerLimit, FormatNumber(limits.lower, 2), unit},
        {str::kLabelUpperLimit, FormatNumber(limits.upper, 2), unit},
        {str::kLabelDamping, FormatNumber(m.GetDamping(), 1), Text(str::kSeconds)},
    };
}

std::vector<ReportRow> AdvancedSection(const CTransmitterModel& m) {
    const std::string mA = Text(str::kMilliamperes);
    return {
        {str::kLabelAlarmType, CodeListText(m.GetAlarmType(), str::kAlarmHigh), {}},
        {str::kLabelLowAlarm, FormatNumber(m.GetLowAlarm(), 2), mA},
        {str::kLabelHighAlarm, FormatNumber(m.GetHighAlarm(), 2), mA},
        {str::kLabelLowSaturation, FormatNumber(m.GetLowSaturation(), 2), mA},
        {str::kLabelHighSaturation, FormatNumber(m.GetHighSaturation(), 2), mA},
        {str::kLabelFilter, CodeListText(m.GetFilter(), str::kFilter60Hz), {}},
        {str::kLabelWriteProtect, CodeListText(m.GetWriteProtect(), str::kProtectionOff), {}},
    };
}

std::vector<ReportRow> InformationSection(const CTransmitterModel& m) {
    // The lamps read "Да" or "Нет" only once there is a loop current to show.
    const bool current = IsSet(m.GetLoopCurrent());
    auto lamp = [&](std::int32_t fault) { return current ? Text(fault ? str::kYes : str::kNo) : std::string(); };
    // Identification only once the transmitter has been identified.
    const bool identified = m.GetUniversalRev() != 0;
    std::string software, hardware, assembly, date;
    if (identified) {
        software = Integer(m.GetUniversalRev()) + "." + Integer(m.GetDeviceRev()) + "." + Integer(m.GetSoftwareRev());
        hardware = Integer(m.GetHardwareRevByte());
        assembly = Integer(m.GetFinalAssembly());
        date = Integer(m.GetDateDay()) + "." + Integer(m.GetDateMonth()) + "." + Integer(1900 + m.GetDateYear());
    }
    return {
        {str::kLabelMeasuredValue, FormatNumber(m.GetMeasuredValue(), 2), std::string(UnitText(m.GetMeasuredUnits()))},
        {str::kLabelLoopCurrent, FormatNumber(m.GetLoopCurrent(), 2), Text(str::kMilliamperes)},
        {str::kLabelDeviceTemp, FormatNumber(m.GetDeviceTemp(), 2), std::string(UnitText(m.GetDeviceTempUnits()))},
        {str::kLabelSensorFault, lamp(m.GetSensorFault()), {}},
        {str::kLabelDeviceFault, lamp(m.GetDeviceFault()), {}},
        {str::kLabelSoftwareVersion, software, {}},
        {str::kLabelHardwareVersion, hardware, {}},
        {str::kLabelFinalAssembly, assembly, {}},
        {str::kLabelDate, date, {}},
    };
}

} // namespace

ReportContent ReportFromModel(const CTransmitterModel& model) {
    ReportContent report;
    report.titleId = str::kReportTitle;
    report.sections = {BasicSection(model), AdvancedSection(model), InformationSection(model)};
    return report;
}

std::string ValueColumnText(const ReportRow& row) {
    std::string text = ": " + row.value;
    if (!row.value.empty() && !row.unit.empty()) text += " " + row.unit;
    return text;
}

} // namespace zelhart::ui
