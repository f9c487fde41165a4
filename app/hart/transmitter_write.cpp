// CTransmitter: sending the basic and advanced settings. Each operation skips a field that is not set;
// a field the transmitter rejects keeps the user's value and gets its FieldError flag.
#include "hart/transmitter.h"

#include <cmath>

namespace zelhart::hart {
namespace {

bool Accepted(int rc) {
    return rc == kResponseSuccess || rc == kResponseWarningUpdate;
}

// A range point this close outside the sensor limit (in the limits' units) is sent as the limit itself.
constexpr double kRangeSnap = 0.005;

constexpr uint8_t kWriteProtectOff = 0;
constexpr uint8_t kWriteProtectOn = 1;
constexpr uint32_t kProtectionKey = 0; // the 24-bit value before the write-protect code

} // namespace

int CTransmitter::WriteCode(CommandIndex index, int32_t& code, Field flag) {
    if (!Accepted(Exchange(index, {&code}))) {
        Flag(flag);
        return 0;
    }
    int32_t echo = code;
    ParseResponse(index, {&echo});
    Put(code, echo, flag);
    return 1;
}

int CTransmitter::WriteSensorConfig() {
    if (m_sensorType == kSensorNone && m_sensorConnection == kSensorNone) return 1;
    const uint8_t sensorNumber = 0;
    auto flagAsWanted = [this] {
        Flag(Field::SensorType, m_sensorType != kSensorNone);
        Flag(Field::SensorConnection, m_sensorConnection != kSensorNone);
    };
    if (!Accepted(Exchange(CommandIndex::ReadSensorConfig, {&sensorNumber}))) {
        flagAsWanted();
        return 0;
    }
    int32_t number = 0, type = kSensorNone, connection = kSensorNone;
    ParseResponse(CommandIndex::ReadSensorConfig, {&number, &type, &connection});
    if (m_sensorType != kSensorNone) type = m_sensorType;
    if (m_sensorConnection != kSensorNone) connection = m_sensorConnection;

    const int rc = Exchange(CommandIndex::WriteSensorConfig, {&number, &type, &connection});
    if (!Accepted(rc)) {
        if (rc == 11 || rc == 12) {
            Flag(Field::SensorType, rc == 11);
            Flag(Field::SensorConnection, rc == 12);
        } else {
            flagAsWanted();
        }
        return 0;
    }
    m_fieldError.Clear(Field::SensorType);
    m_fieldError.Clear(Field::SensorConnection);
    return 1;
}

int CTransmitter::WriteRangeUnits() {
    if (m_rangeUnits == kUnitsNotSet) return 1;
    return WriteCode(CommandIndex::WritePvUnits, m_rangeUnits, Field::RangeUnits);
}

int CTransmitter::WriteRange() {
    if (IsNotSet(m_upperRange) && IsNotSet(m_lowerRange)) return 1;
    if (Exchange(CommandIndex::ReadOutputInfo) != kResponseSuccess) {
        Flag(Field::UpperRange, IsSet(m_upperRange));
        Flag(Field::LowerRange, IsSet(m_lowerRange));
    } else {
        int32_t units = kUnitsNotSet;
        float upper = NotANumber, lower = NotANumber;
        ParseResponse(CommandIndex::ReadOutputInfo, {nullptr, nullptr, &units, &upper, &lower});
        m_fieldError.Clear(Field::UpperRange);
        m_fieldError.Clear(Field::LowerRange);

        const SensorLimitsReading limits = ReadSensorLimits();
        if (!limits.ok) return 0;
        if (IsSet(m_upperRange)) upper = m_upperRange;
        if (IsSet(m_lowerRange)) lower = m_lowerRange;
        if (m_limitUnits == limits.units) {
            if (lower < limits.lower && double(limits.lower) - double(lower) <= kRangeSnap)
                lower = limits.lower;
            if (upper > limits.upper && double(upper) - double(limits.upper) <= kRangeSnap)
                upper = limits.upper;
        }

        const int rc = Exchange(CommandIndex::WriteRangeValues, {&units, &upper, &lower});
        if (rc == kResponseSuccess) return 1;
        if (rc == 9 || rc == 10) {
            Flag(Field::LowerRange, true);
            Flag(Field::UpperRange, false);
        } else if (rc == 11 || rc == 12) {
            Flag(Field::LowerRange, false);
            Flag(Field::UpperRange, true);
        } else {
            Flag(Field::UpperRange, IsSet(m_upperRange));
            Flag(Field::LowerRange, IsSet(m_lowerRange));
        }
    }
    // After a failure the limits are read again, so that the page shows what the transmitter holds.
    StoreSensorLimits();
    return 0;
}

int CTransmitter::WriteDamping() {
    if (IsNotSet(m_damping)) return 1;
    if (!Accepted(Exchange(CommandIndex::WriteDamping, {&m_damping}))) {
        Flag(Field::Damping);
        return 0;
    }
    float echo = m_damping;
    ParseResponse(CommandIndex::WriteDamping, {&echo});
    Put(m_damping, echo, Field::Damping);
    return 1;
}

int CTransmitter::WriteTag() {
    if (m_tag[0] == 0) return 1;
    std::string descriptor;
    uint8_t day = 0, month = 0, year = 0;
    if (!Accepted(Exchange(CommandIndex::ReadTagDescriptorDate))) {
        Flag(Field::Tag);
        return 0;
    }
    ParseResponse(CommandIndex::ReadTagDescriptorDate, {nullptr, &descriptor, &day, &month, &year});

    // 8-bit text of the tag: a character outside ASCII cannot be sent and becomes '?'.
    std::string tag;
    for (size_t i = 0; i < kTagLength && m_tag[i] != 0; ++i)
        tag.push_back(m_tag[i] < 0x80 ? char(m_tag[i]) : '?');
    if (!Accepted(Exchange(CommandIndex::WriteTagDescriptorDate, {tag, descriptor, &day, &month, &year}))) {
        Flag(Field::Tag);
        return 0;
    }
    std::string echo;
    ParseResponse(CommandIndex::WriteTagDescriptorDate, {&echo});
    StoreTag(std::u16string(echo.begin(), echo.end()));
    m_fieldError.Clear(Field::Tag);
    return 1;
}

int CTransmitter::WriteFilter() {
    if (m_filter == kCodeNotSet) return 1;
    return WriteCode(CommandIndex::WriteMainsFilter, m_filter, Field::Filter);
}

int CTransmitter::WriteAlarmType() {
    if (m_alarmType == kCodeNotSet) return 1;
    return WriteCode(CommandIndex::WriteAlarmType, m_alarmType, Field::AlarmType);
}

int CTransmitter::WriteAlarmLevels() {
    // In the order of commands 189 and 155.
    const struct {
        float& value;
        Field flag;
    } levels[4] = {{m_highAlarm, Field::HighAlarm},
                   {m_lowAlarm, Field::LowAlarm},
                   {m_highSaturation, Field::HighSaturation},
                   {m_lowSaturation, Field::LowSaturation}};
    bool anySet = false;
    for (const auto& l : levels)
        anySet = anySet || IsSet(l.value);
    if (!anySet) return 1;
    auto flagAsWanted = [&] {
        for (const auto& l : levels)
            Flag(l.flag, IsSet(l.value));
    };

    if (!Accepted(Exchange(CommandIndex::ReadAlarmLevels))) {
        flagAsWanted();
        return 0;
    }
    float send[4] = {NotANumber, NotANumber, NotANumber, NotANumber};
    ParseResponse(CommandIndex::ReadAlarmLevels, {&send[0], &send[1], &send[2], &send[3]});
    for (size_t i = 0; i < 4; ++i)
        if (IsSet(levels[i].value)) send[i] = levels[i].value;

    const int rc = Exchange(CommandIndex::WriteAlarmLevels, {&send[0], &send[1], &send[2], &send[3]});
    if (!Accepted(rc)) {
        // 10 high alarm, 11 high saturation, 12 low alarm, 13 low saturation.
        const Field rejected[4] = {Field::HighAlarm, Field::HighSaturation, Field::LowAlarm,
                                   Field::LowSaturation};
        if (rc >= 10 && rc <= 13) {
            for (const auto& l : levels)
                Flag(l.flag, l.flag == rejected[rc - 10]);
        } else {
            flagAsWanted();
        }
        return 0;
    }
    for (const auto& l : levels)
        m_fieldError.Clear(l.flag);
    return 1;
}

int CTransmitter::WriteProtectionOff() {
    if (m_writeProtect != kWriteProtectOff) return 1;
    if (!Accepted(Exchange(CommandIndex::WriteWriteProtection, {&kProtectionKey, &kWriteProtectOff}))) {
        Flag(Field::WriteProtect);
        return 0;
    }
    int32_t echo = m_writeProtect;
    ParseResponse(CommandIndex::WriteWriteProtection, {nullptr, &echo});
    Put(m_writeProtect, echo, Field::WriteProtect);
    return 1;
}

int CTransmitter::WriteProtectionOn() {
    if (m_writeProtect == kWriteProtectOn) {
        if (!Accepted(Exchange(CommandIndex::WriteWriteProtection, {&kProtectionKey, &kWriteProtectOn}))) {
            Flag(Field::WriteProtect);
            return 0;
        }
        int32_t echo = m_writeProtect;
        ParseResponse(CommandIndex::WriteWriteProtection, {nullptr, &echo});
        Put(m_writeProtect, echo, Field::WriteProtect);
    }
    return StoreSensorLimits();
}

} // namespace zelhart::hart
