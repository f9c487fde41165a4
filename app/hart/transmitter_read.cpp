// CTransmitter: identification, the six read steps of the whole configuration, the monitoring poll and
// the single reads the calibration procedures use.
#include "hart/transmitter.h"

namespace zelhart::hart {
namespace {

bool Accepted(int rc) {
    return rc == kResponseSuccess || rc == kResponseWarningUpdate;
}

constexpr uint8_t kSensorNumber = 0;
// Device variables asked with command 33: the electronics temperature, the measured value, two unused.
constexpr uint8_t kVariableCodes[4] = {1, 2, 250, 250};
// Thermometer construction parameters of command 139, in the order they are read.
enum ThermometerParameter : uint8_t {
    kArmature = 108,
    kHead = 76,
    kCableEntry = 74,
    kExecution = 75,
    kMountingLength = 110,
    kAssemblyDate = 77,
    kThermometerSerialNumber = 194,
};
constexpr uint8_t kParameterRead = 1;

// The fifth byte of the additional status: a sensor fault in bits 0-1.
constexpr uint8_t kSensorFaultBits = 0x03;
constexpr uint8_t kDeviceMalfunction = 0x80; // device status byte

} // namespace

int CTransmitter::Exchange(CommandIndex index, std::initializer_list<FieldValue> values) {
    const int rc = Transact(index, values);
    if (rc != kResponseSuccess) ReportResponseCode(index, rc);
    return rc;
}

int CTransmitter::FindDevice() {
    if (!Accepted(Transact(CommandIndex::IdentifyDevice))) {
        m_deviceId = 0;
        return 0;
    }
    uint8_t manufacturer = 0, type = 0, universal = 0, device = 0, software = 0, hardware = 0;
    int32_t id = 0;
    ParseResponse(CommandIndex::IdentifyDevice, {nullptr, &manufacturer, &type, nullptr, &universal, &device,
                                                 &software, &hardware, nullptr, &id});
    m_manufacturerId = manufacturer;
    m_deviceType = type;
    Put(m_universalRev, universal, Field::UniversalRev);
    Put(m_deviceRev, device, Field::DeviceRev);
    Put(m_softwareRev, software, Field::SoftwareRev);
    Put(m_hardwareRev, hardware, Field::HardwareRev);
    m_deviceId = id;
    if (manufacturer == kKorvelManufacturer && type == kKorvelDeviceType) return 1;
    m_deviceId = 0;
    return 0;
}

int CTransmitter::ReadTagAndSensor() {
    std::string tag;
    if (!Accepted(Exchange(CommandIndex::ReadTagDescriptorDate))) {
        m_tag.fill(0);
        m_dateDay = m_dateMonth = m_dateYear = 0;
        return 0;
    }
    ParseResponse(CommandIndex::ReadTagDescriptorDate,
                  {&tag, nullptr, &m_dateDay, &m_dateMonth, &m_dateYear});
    StoreTag(std::u16string(tag.begin(), tag.end())); // packed ASCII: every character is below 64
    m_fieldError.Clear(Field::Tag);

    if (!Accepted(Exchange(CommandIndex::ReadSensorConfig, {&kSensorNumber}))) {
        m_sensorType = m_sensorConnection = kSensorNone;
        return 0;
    }
    int32_t type = kSensorNone, connection = kSensorNone;
    ParseResponse(CommandIndex::ReadSensorConfig, {nullptr, &type, &connection});
    Put(m_sensorType, type, Field::SensorType);
    Put(m_sensorConnection, connection, Field::SensorConnection);
    return 1;
}

int CTransmitter::ReadOutputConfig() {
    if (!Accepted(Exchange(CommandIndex::ReadOutputInfo))) {
        m_upperRange = m_lowerRange = m_damping = NotANumber;
        m_rangeUnits = kUnitsNotSet;
        m_alarmType = kCodeNotSet;
        m_writeProtect = kCodeNotSet;
        return 0;
    }
    int32_t alarm = 0, units = 0, protect = 0;
    float upper = NotANumber, lower = NotANumber, damping = NotANumber;
    ParseResponse(CommandIndex::ReadOutputInfo,
                  {&alarm, nullptr, &units, &upper, &lower, &damping, &protect, nullptr});
    Put(m_alarmType, alarm, Field::AlarmType);
    Put(m_rangeUnits, units, Field::RangeUnits);
    Put(m_upperRange, upper, Field::UpperRange);
    Put(m_lowerRange, lower, Field::LowerRange);
    Put(m_damping, damping, Field::Damping);
    Put(m_writeProtect, protect, Field::WriteProtect);

    return StoreSensorLimits();
}

int CTransmitter::StoreSensorLimits() {
    if (!Accepted(Exchange(CommandIndex::ReadPvTransducerInfo))) {
        m_limitUnits = kUnitsNotSet;
        m_upperSensorLimit = m_lowerSensorLimit = NotANumber;
        return 0;
    }
    float upperLimit = NotANumber, lowerLimit = NotANumber;
    ParseResponse(CommandIndex::ReadPvTransducerInfo, {nullptr, &m_limitUnits, &upperLimit, &lowerLimit});
    Put(m_upperSensorLimit, upperLimit, Field::UpperSensorLimit);
    Put(m_lowerSensorLimit, lowerLimit, Field::LowerSensorLimit);
    return 1;
}

int CTransmitter::ReadFilterAndAssembly() {
    if (!Accepted(Exchange(CommandIndex::ReadMainsFilter))) {
        m_filter = kCodeNotSet;
        return 0;
    }
    int32_t filter = kCodeNotSet;
    ParseResponse(CommandIndex::ReadMainsFilter, {&filter});
    Put(m_filter, filter, Field::Filter);

    if (!Accepted(Exchange(CommandIndex::ReadFinalAssemblyNumber))) {
        m_finalAssembly = 0;
        return 0;
    }
    int32_t assembly = 0;
    ParseResponse(CommandIndex::ReadFinalAssemblyNumber, {&assembly});
    Put(m_finalAssembly, assembly, Field::FinalAssembly);
    return 1;
}

int CTransmitter::ReadLevelsAndVariables() {
    if (!Accepted(Exchange(CommandIndex::ReadAlarmLevels))) {
        m_highAlarm = m_lowAlarm = m_highSaturation = m_lowSaturation = NotANumber;
        return 0;
    }
    float levels[4] = {NotANumber, NotANumber, NotANumber, NotANumber};
    ParseResponse(CommandIndex::ReadAlarmLevels, {&levels[0], &levels[1], &levels[2], &levels[3]});
    Put(m_highAlarm, levels[0], Field::HighAlarm);
    Put(m_lowAlarm, levels[1], Field::LowAlarm);
    Put(m_highSaturation, levels[2], Field::HighSaturation);
    Put(m_lowSaturation, levels[3], Field::LowSaturation);

    const auto& v = kVariableCodes;
    if (!Accepted(Exchange(CommandIndex::ReadDeviceVariables, {&v[0], &v[1], &v[2], &v[3]}))) {
        m_deviceTempUnits = m_measuredUnits = kUnitsNotSet;
        m_deviceTemp = m_measuredValue = NotANumber;
        return 0;
    }
    StoreDeviceVariables();

    if (!Accepted(Exchange(CommandIndex::ReadDynamicVariables))) {
        m_loopCurrent = NotANumber;
        return 0;
    }
    float current = NotANumber;
    ParseResponse(CommandIndex::ReadDynamicVariables, {&current});
    Put(m_loopCurrent, current, Field::LoopCurrent);
    return 1;
}

int CTransmitter::ReadFaultStatus() {
    if (!Accepted(Exchange(CommandIndex::ReadAdditionalStatus))) {
        m_sensorFault = m_deviceFault = 0;
        return 0;
    }
    StoreFaults();
    return 1;
}

void CTransmitter::StoreFaults() {
    uint8_t b[5] = {};
    ParseResponse(CommandIndex::ReadAdditionalStatus, {&b[0], &b[1], &b[2], &b[3], &b[4]});
    uint8_t deviceStatus = 0;
    GetLastStatus(nullptr, &deviceStatus);
    const bool sensor = (b[4] & kSensorFaultBits) != 0;
    Put(m_sensorFault, int32_t(sensor ? 1 : 0), Field::SensorFault);
    Put(m_deviceFault, int32_t(!sensor && (deviceStatus & kDeviceMalfunction) ? 1 : 0), Field::DeviceFault);
}

void CTransmitter::StoreDeviceVariables() {
    int32_t tempUnits = kUnitsNotSet, measuredUnits = kUnitsNotSet;
    float temp = NotANumber, measured = NotANumber;
    ParseResponse(CommandIndex::ReadDeviceVariables,
                  {nullptr, &tempUnits, &temp, nullptr, &measuredUnits, &measured});
    Put(m_deviceTempUnits, tempUnits, Field::DeviceTempUnits);
    Put(m_deviceTemp, temp, Field::DeviceTemp);
    Put(m_measuredUnits, measuredUnits, Field::MeasuredUnits);
    Put(m_measuredValue, measured, Field::MeasuredValue);
}

int CTransmitter::ReadThermometerData() {
    for (uint8_t parameter : {kArmature, kHead, kCableEntry, kExecution, kMountingLength, kAssemblyDate,
                              kThermometerSerialNumber}) {
        if (!Accepted(Exchange(CommandIndex::ThermometerParameter,
                               {&kParameterRead, nullptr, &parameter, nullptr, nullptr, nullptr, nullptr}))) {
            if (parameter == kThermometerSerialNumber) m_thermometerSerial = 0;
            return 0;
        }
        uint8_t v1 = 0, v2 = 0, v3 = 0;
        ParseResponse(CommandIndex::ThermometerParameter, {nullptr, nullptr, nullptr, &v1, &v2, &v3});
        switch (parameter) {
        case kArmature:
            Put(m_armatureLetter, v1, Field::ArmatureLetter);
            Put(m_armatureNumber, v2, Field::ArmatureNumber);
            break;
        case kHead:
            Put(m_head, int32_t(v1), Field::Head);
            break;
        case kCableEntry:
            Put(m_cableEntry, int32_t(v1), Field::CableEntry);
            break;
        case kExecution:
            Put(m_execution, int32_t(v1), Field::Execution);
            break;
        case kMountingLength:
            Put(m_mountingLength, int32_t(v1 * 256 + v2), Field::MountingLength);
            break;
        case kAssemblyDate:
            Put(m_assemblyDay, v1, Field::AssemblyDay);
            Put(m_assemblyMonth, v2, Field::AssemblyMonth);
            Put(m_assemblyYear, v3, Field::AssemblyYear);
            break;
        case kThermometerSerialNumber:
            Put(m_thermometerSerial, int32_t(v1 * 65536 + v2 * 256 + v3), Field::ThermometerSerial);
            break;
        }
    }
    return 1;
}

int CTransmitter::RefreshMonitor() {
    if (!Accepted(Exchange(CommandIndex::ReadFinalAssemblyNumber))) {
        Put(m_finalAssembly, int32_t(0), Field::FinalAssembly);
        return 0;
    }
    int32_t assembly = 0;
    ParseResponse(CommandIndex::ReadFinalAssemblyNumber, {&assembly});
    Put(m_finalAssembly, assembly, Field::FinalAssembly);

    if (!Accepted(Exchange(CommandIndex::ReadTagDescriptorDate))) {
        m_dateDay = m_dateMonth = m_dateYear = 0;
        return 0;
    }
    ParseResponse(CommandIndex::ReadTagDescriptorDate,
                  {nullptr, nullptr, &m_dateDay, &m_dateMonth, &m_dateYear});

    const auto& v = kVariableCodes;
    if (!Accepted(Exchange(CommandIndex::ReadDeviceVariables, {&v[0], &v[1], &v[2], &v[3]}))) {
        Put(m_deviceTempUnits, kUnitsNotSet, Field::DeviceTempUnits);
        Put(m_measuredUnits, kUnitsNotSet, Field::MeasuredUnits);
        Put(m_deviceTemp, NotANumber, Field::DeviceTemp);
        Put(m_measuredValue, NotANumber, Field::MeasuredValue);
        return 0;
    }
    StoreDeviceVariables();

    if (!Accepted(Exchange(CommandIndex::ReadDynamicVariables))) {
        Put(m_loopCurrent, NotANumber, Field::LoopCurrent);
        return 0;
    }
    float current = NotANumber;
    ParseResponse(CommandIndex::ReadDynamicVariables, {&current});
    Put(m_loopCurrent, current, Field::LoopCurrent);

    if (!Accepted(Exchange(CommandIndex::ReadAdditionalStatus))) {
        Put(m_sensorFault, int32_t(0), Field::SensorFault);
        Put(m_deviceFault, int32_t(0), Field::DeviceFault);
        return 0;
    }
    StoreFaults();
    return 1;
}

// --- single reads (accepted with 0 only)

int CTransmitter::ReadWriteProtection() {
    if (Exchange(CommandIndex::ReadOutputInfo) != kResponseSuccess) return kCodeNotSet;
    int32_t protect = kCodeNotSet;
    ParseResponse(CommandIndex::ReadOutputInfo,
                  {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &protect});
    return protect;
}

int CTransmitter::ReadRangeUnits() {
    if (Exchange(CommandIndex::ReadOutputInfo) != kResponseSuccess) return kUnitsNotSet;
    int32_t units = kUnitsNotSet;
    ParseResponse(CommandIndex::ReadOutputInfo, {nullptr, nullptr, &units});
    return units;
}

int CTransmitter::ReadSensorType() {
    if (Exchange(CommandIndex::ReadSensorConfig, {&kSensorNumber}) != kResponseSuccess) return kSensorNone;
    int32_t type = kSensorNone;
    ParseResponse(CommandIndex::ReadSensorConfig, {nullptr, &type});
    return type;
}

SensorLimitsReading CTransmitter::ReadSensorLimits() {
    SensorLimitsReading r;
    if (Exchange(CommandIndex::ReadPvTransducerInfo) != kResponseSuccess) return r;
    ParseResponse(CommandIndex::ReadPvTransducerInfo, {nullptr, &r.units, &r.upper, &r.lower});
    r.ok = true;
    return r;
}

AlarmLevelsReading CTransmitter::ReadAlarmLevels() {
    AlarmLevelsReading r;
    if (Exchange(CommandIndex::ReadAlarmLevels) != kResponseSuccess) return r;
    ParseResponse(CommandIndex::ReadAlarmLevels, {&r.high, &r.low});
    return r;
}

AdditionalStatusReading CTransmitter::ReadAdditionalStatus() {
    AdditionalStatusReading r;
    if (Exchange(CommandIndex::ReadAdditionalStatus) != kResponseSuccess) return r;
    auto& b = r.bytes;
    ParseResponse(CommandIndex::ReadAdditionalStatus, {&b[0], &b[1], &b[2], &b[3], &b[4]});
    r.ok = true;
    return r;
}

MeasuredValueReading CTransmitter::ReadMeasuredValue() {
    MeasuredValueReading r;
    const auto& v = kVariableCodes;
    if (Exchange(CommandIndex::ReadDeviceVariables, {&v[0], &v[1], &v[2], &v[3]}) != kResponseSuccess)
        return r;
    ParseResponse(CommandIndex::ReadDeviceVariables,
                  {nullptr, nullptr, nullptr, nullptr, &r.units, &r.value});
    r.ok = true;
    return r;
}

int CTransmitter::ResetDevice() {
    return Exchange(CommandIndex::ResetDevice) == kResponseSuccess ? 1 : 0;
}

} // namespace zelhart::hart
