#include "hart/transmitter_model.h"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace {

bool Differs(float held, float value) {
    if (std::isnan(held) && std::isnan(value)) return false;
    return held != value;
}
template <class T> bool Differs(T held, T value) {
    return held != value;
}

// Exact equality for the comparison: floats by bit pattern, so a NaN equals only the same NaN.
template <class T> bool Identical(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, float>)
        return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
    else
        return a == b;
}

} // namespace

template <class T> void CTransmitterModel::Store(T& field, T value, Field flag) {
    field = value;
    m_fieldError.Clear(flag);
}

template <class T> void CTransmitterModel::StoreEdited(T& field, T value, Field flag) {
    const bool changed = Differs(field, value);
    Store(field, value, flag);
    if (changed) NotifyEdited();
}

constexpr auto CTransmitterModel::FieldList() {
    using M = CTransmitterModel;
    return std::make_tuple(
        std::pair{"m_tag", &M::m_tag}, std::pair{"m_dateDay", &M::m_dateDay},
        std::pair{"m_dateMonth", &M::m_dateMonth}, std::pair{"m_dateYear", &M::m_dateYear},
        std::pair{"m_sensorType", &M::m_sensorType}, std::pair{"m_sensorConnection", &M::m_sensorConnection},
        std::pair{"m_alarmType", &M::m_alarmType}, std::pair{"m_rangeUnits", &M::m_rangeUnits},
        std::pair{"m_upperRange", &M::m_upperRange}, std::pair{"m_lowerRange", &M::m_lowerRange},
        std::pair{"m_damping", &M::m_damping}, std::pair{"m_writeProtect", &M::m_writeProtect},
        std::pair{"m_limitUnits", &M::m_limitUnits}, std::pair{"m_upperSensorLimit", &M::m_upperSensorLimit},
        std::pair{"m_lowerSensorLimit", &M::m_lowerSensorLimit}, std::pair{"m_filter", &M::m_filter},
        std::pair{"m_finalAssembly", &M::m_finalAssembly}, std::pair{"m_highAlarm", &M::m_highAlarm},
        std::pair{"m_lowAlarm", &M::m_lowAlarm}, std::pair{"m_highSaturation", &M::m_highSaturation},
        std::pair{"m_lowSaturation", &M::m_lowSaturation},
        std::pair{"m_deviceTempUnits", &M::m_deviceTempUnits}, std::pair{"m_deviceTemp", &M::m_deviceTemp},
        std::pair{"m_measuredUnits", &M::m_measuredUnits}, std::pair{"m_measuredValue", &M::m_measuredValue},
        std::pair{"m_loopCurrent", &M::m_loopCurrent}, std::pair{"m_sensorFault", &M::m_sensorFault},
        std::pair{"m_deviceFault", &M::m_deviceFault}, std::pair{"m_armatureLetter", &M::m_armatureLetter},
        std::pair{"m_armatureNumber", &M::m_armatureNumber}, std::pair{"m_head", &M::m_head},
        std::pair{"m_cableEntry", &M::m_cableEntry}, std::pair{"m_execution", &M::m_execution},
        std::pair{"m_mountingLength", &M::m_mountingLength}, std::pair{"m_assemblyDay", &M::m_assemblyDay},
        std::pair{"m_assemblyMonth", &M::m_assemblyMonth}, std::pair{"m_assemblyYear", &M::m_assemblyYear},
        std::pair{"m_thermometerSerial", &M::m_thermometerSerial},
        std::pair{"m_manufacturerId", &M::m_manufacturerId}, std::pair{"m_deviceType", &M::m_deviceType},
        std::pair{"m_deviceId", &M::m_deviceId}, std::pair{"m_universalRev", &M::m_universalRev},
        std::pair{"m_deviceRev", &M::m_deviceRev}, std::pair{"m_softwareRev", &M::m_softwareRev},
        std::pair{"m_hardwareRev", &M::m_hardwareRev}, std::pair{"m_fixedCurrent", &M::m_fixedCurrent},
        std::pair{"m_loop4mAMeasured", &M::m_loop4mAMeasured},
        std::pair{"m_loop20mAMeasured", &M::m_loop20mAMeasured}, std::pair{"m_calUnits", &M::m_calUnits},
        std::pair{"m_calMode", &M::m_calMode}, std::pair{"m_upperCalLimit", &M::m_upperCalLimit},
        std::pair{"m_lowerCalLimit", &M::m_lowerCalLimit}, std::pair{"m_trimLower", &M::m_trimLower},
        std::pair{"m_trimUpper", &M::m_trimUpper}, std::pair{"m_calPoints", &M::m_calPoints},
        std::pair{"m_progress", &M::m_progress});
}

std::vector<std::string> CTransmitterModel::DifferentFields(const CTransmitterModel& other) const {
    std::vector<std::string> names;
    auto compare = [&](const auto& entry) {
        if (!Identical(this->*entry.second, other.*entry.second)) names.emplace_back(entry.first);
    };
    std::apply([&](const auto&... entry) { (compare(entry), ...); }, FieldList());
    return names;
}

void CTransmitterModel::ClearContents() {
    m_tag.fill(0);
    m_sensorType = kSensorNone;
    m_sensorConnection = kSensorNone;
    m_alarmType = kCodeNotSet;
    m_limitUnits = kUnitsNotSet;
    m_rangeUnits = kUnitsNotSet;
    m_deviceTempUnits = kUnitsNotSet;
    m_measuredUnits = kUnitsNotSet;
    m_writeProtect = kCodeNotSet;
    m_filter = kCodeNotSet;
    m_lowerRange = m_upperRange = NotANumber;
    m_damping = NotANumber;
    m_lowerSensorLimit = m_upperSensorLimit = NotANumber;
    m_lowAlarm = m_highAlarm = NotANumber;
    m_lowSaturation = m_highSaturation = NotANumber;
    m_deviceTemp = m_measuredValue = m_loopCurrent = NotANumber;
    m_universalRev = m_deviceRev = m_softwareRev = m_hardwareRev = 0;
    m_finalAssembly = 0;
    m_sensorFault = m_deviceFault = 0;
    // Values no thermometer construction list contains.
    m_armatureLetter = m_armatureNumber = 0;
    m_head = 4;
    m_cableEntry = 256;
    m_execution = 33;
    m_mountingLength = 0;
    m_thermometerSerial = 0;
    m_fieldError.ClearContentsFlags();
}

StoredConfiguration CTransmitterModel::GetStoredConfiguration() const {
    StoredConfiguration s;
    s.tag = m_tag;
    s.sensorType = m_sensorType;
    s.sensorConnection = m_sensorConnection;
    s.rangeUnits = m_rangeUnits;
    s.lowerRange = m_lowerRange;
    s.upperRange = m_upperRange;
    s.damping = m_damping;
    s.alarmType = m_alarmType;
    s.lowAlarm = m_lowAlarm;
    s.highAlarm = m_highAlarm;
    s.lowSaturation = m_lowSaturation;
    s.highSaturation = m_highSaturation;
    s.filter = m_filter;
    s.writeProtect = m_writeProtect;
    s.armatureLetter = m_armatureLetter;
    s.armatureNumber = m_armatureNumber;
    s.head = m_head;
    s.cableEntry = m_cableEntry;
    s.execution = m_execution;
    s.mountingLength = m_mountingLength;
    s.assemblyDay = m_assemblyDay;
    s.assemblyMonth = m_assemblyMonth;
    s.assemblyYear = m_assemblyYear;
    s.thermometerSerial = m_thermometerSerial;
    return s;
}

void CTransmitterModel::ApplyStoredConfiguration(const StoredConfiguration& s) {
    m_tag = s.tag;
    m_tag[kTagLength] = 0;
    m_sensorType = s.sensorType;
    m_sensorConnection = s.sensorConnection;
    m_rangeUnits = s.rangeUnits;
    m_limitUnits = s.rangeUnits;
    m_lowerRange = s.lowerRange;
    m_upperRange = s.upperRange;
    m_damping = s.damping;
    m_alarmType = s.alarmType;
    m_lowAlarm = s.lowAlarm;
    m_highAlarm = s.highAlarm;
    m_lowSaturation = s.lowSaturation;
    m_highSaturation = s.highSaturation;
    m_filter = s.filter;
    m_writeProtect = s.writeProtect;
    m_armatureLetter = s.armatureLetter;
    m_armatureNumber = s.armatureNumber;
    m_head = s.head;
    m_cableEntry = s.cableEntry;
    m_execution = s.execution;
    m_mountingLength = s.mountingLength;
    m_assemblyDay = s.assemblyDay;
    m_assemblyMonth = s.assemblyMonth;
    m_assemblyYear = s.assemblyYear;
    m_thermometerSerial = s.thermometerSerial;
    m_fieldError.ClearContentsFlags();
}

std::u16string CTransmitterModel::GetTag() const {
    std::u16string text;
    for (std::size_t i = 0; i < kTagLength && m_tag[i] != 0; ++i) {
        const char16_t c = m_tag[i];
        text.push_back(c < 32 || c >= 96 ? u' ' : c);
    }
    return text;
}

void CTransmitterModel::StoreTag(std::u16string_view tag) {
    TagUnits units{};
    for (std::size_t i = 0; i < kTagLength && i < tag.size() && tag[i] != 0; ++i)
        units[i] = tag[i];
    m_tag = units;
}

void CTransmitterModel::SetTag(std::u16string_view tag) {
    const TagUnits held = m_tag;
    StoreTag(tag);
    m_fieldError.Clear(Field::Tag);
    if (!std::equal(held.begin(), held.begin() + kTagLength, m_tag.begin())) NotifyEdited();
}

void CTransmitterModel::SetDate(std::uint8_t day, std::uint8_t month, std::uint8_t year) {
    m_dateDay = day;
    m_dateMonth = month;
    m_dateYear = year;
}

// Fields the user edits: a changed value marks the document.
void CTransmitterModel::SetSensorType(std::int32_t c) {
    StoreEdited(m_sensorType, c, Field::SensorType);
}
void CTransmitterModel::SetSensorConnection(std::int32_t c) {
    StoreEdited(m_sensorConnection, c, Field::SensorConnection);
}
void CTransmitterModel::SetAlarmType(std::int32_t c) {
    StoreEdited(m_alarmType, c, Field::AlarmType);
}
void CTransmitterModel::SetRangeUnits(std::int32_t c) {
    StoreEdited(m_rangeUnits, c, Field::RangeUnits);
}
void CTransmitterModel::SetUpperRange(float v) {
    StoreEdited(m_upperRange, v, Field::UpperRange);
}
void CTransmitterModel::SetLowerRange(float v) {
    StoreEdited(m_lowerRange, v, Field::LowerRange);
}
void CTransmitterModel::SetDamping(float v) {
    StoreEdited(m_damping, v, Field::Damping);
}
void CTransmitterModel::SetWriteProtect(std::int32_t c) {
    StoreEdited(m_writeProtect, c, Field::WriteProtect);
}
void CTransmitterModel::SetFilter(std::int32_t c) {
    StoreEdited(m_filter, c, Field::Filter);
}
void CTransmitterModel::SetHighAlarm(float v) {
    StoreEdited(m_highAlarm, v, Field::HighAlarm);
}
void CTransmitterModel::SetLowAlarm(float v) {
    StoreEdited(m_lowAlarm, v, Field::LowAlarm);
}
void CTransmitterModel::SetHighSaturation(float v) {
    StoreEdited(m_highSaturation, v, Field::HighSaturation);
}
void CTransmitterModel::SetLowSaturation(float v) {
    StoreEdited(m_lowSaturation, v, Field::LowSaturation);
}
void CTransmitterModel::SetCableEntry(std::int32_t c) {
    StoreEdited(m_cableEntry, c, Field::CableEntry);
}
void CTransmitterModel::SetExecution(std::int32_t c) {
    StoreEdited(m_execution, c, Field::Execution);
}

// Fields filled by the device operations and the pages' computations: stored without marking.
void CTransmitterModel::SetLimitUnits(std::int32_t c) {
    m_limitUnits = c;
}
void CTransmitterModel::SetUpperSensorLimit(float v) {
    Store(m_upperSensorLimit, v, Field::UpperSensorLimit);
}
void CTransmitterModel::SetLowerSensorLimit(float v) {
    Store(m_lowerSensorLimit, v, Field::LowerSensorLimit);
}
void CTransmitterModel::SetFinalAssembly(std::int32_t v) {
    Store(m_finalAssembly, v, Field::FinalAssembly);
}
void CTransmitterModel::SetDeviceTempUnits(std::int32_t c) {
    Store(m_deviceTempUnits, c, Field::DeviceTempUnits);
}
void CTransmitterModel::SetDeviceTemp(float v) {
    Store(m_deviceTemp, v, Field::DeviceTemp);
}
void CTransmitterModel::SetMeasuredUnits(std::int32_t c) {
    Store(m_measuredUnits, c, Field::MeasuredUnits);
}
void CTransmitterModel::SetMeasuredValue(float v) {
    Store(m_measuredValue, v, Field::MeasuredValue);
}
void CTransmitterModel::SetLoopCurrent(float v) {
    Store(m_loopCurrent, v, Field::LoopCurrent);
}
void CTransmitterModel::SetSensorFault(std::int32_t v) {
    Store(m_sensorFault, v, Field::SensorFault);
}
void CTransmitterModel::SetDeviceFault(std::int32_t v) {
    Store(m_deviceFault, v, Field::DeviceFault);
}
void CTransmitterModel::SetArmature(std::uint8_t letter, std::uint8_t number) {
    Store(m_armatureLetter, letter, Field::ArmatureLetter);
    Store(m_armatureNumber, number, Field::ArmatureNumber);
}
void CTransmitterModel::SetHead(std::int32_t c) {
    Store(m_head, c, Field::Head);
}
void CTransmitterModel::SetMountingLength(std::int32_t mm) {
    Store(m_mountingLength, mm, Field::MountingLength);
}
void CTransmitterModel::SetAssemblyDate(std::uint8_t day, std::uint8_t month, std::uint8_t year) {
    Store(m_assemblyDay, day, Field::AssemblyDay);
    Store(m_assemblyMonth, month, Field::AssemblyMonth);
    Store(m_assemblyYear, year, Field::AssemblyYear);
}
void CTransmitterModel::SetThermometerSerial(std::int32_t s) {
    Store(m_thermometerSerial, s, Field::ThermometerSerial);
}
void CTransmitterModel::SetManufacturerId(std::int32_t id) {
    m_manufacturerId = id;
}
void CTransmitterModel::SetDeviceType(std::int32_t type) {
    m_deviceType = type;
}
void CTransmitterModel::SetDeviceId(std::int32_t id) {
    m_deviceId = id;
}
void CTransmitterModel::SetUniversalRev(std::uint8_t r) {
    Store(m_universalRev, r, Field::UniversalRev);
}
void CTransmitterModel::SetDeviceRev(std::uint8_t r) {
    Store(m_deviceRev, r, Field::DeviceRev);
}
void CTransmitterModel::SetSoftwareRev(std::uint8_t r) {
    Store(m_softwareRev, r, Field::SoftwareRev);
}
void CTransmitterModel::SetHardwareRev(std::uint8_t r) {
    Store(m_hardwareRev, r, Field::HardwareRev);
}
void CTransmitterModel::SetFixedCurrent(float mA) {
    Store(m_fixedCurrent, mA, Field::FixedCurrent);
}
void CTransmitterModel::SetLoop4mAMeasured(float mA) {
    Store(m_loop4mAMeasured, mA, Field::Loop4mAMeasured);
}
void CTransmitterModel::SetLoop20mAMeasured(float mA) {
    Store(m_loop20mAMeasured, mA, Field::Loop20mAMeasured);
}
void CTransmitterModel::SetCalUnits(std::int32_t c) {
    Store(m_calUnits, c, Field::CalUnits);
}
void CTransmitterModel::SetCalMode(std::int32_t c) {
    Store(m_calMode, c, Field::CalMode);
}
void CTransmitterModel::SetUpperCalLimit(float v) {
    Store(m_upperCalLimit, v, Field::UpperCalLimit);
}
void CTransmitterModel::SetLowerCalLimit(float v) {
    Store(m_lowerCalLimit, v, Field::LowerCalLimit);
}
void CTransmitterModel::SetTrimLower(float v) {
    Store(m_trimLower, v, Field::TrimLower);
}
void CTransmitterModel::SetTrimUpper(float v) {
    Store(m_trimUpper, v, Field::TrimUpper);
}
void CTransmitterModel::SetCalPoints(std::int32_t points) {
    m_calPoints = points;
}
void CTransmitterModel::SetProgress(std::int32_t percent) {
    m_progress = percent;
}
