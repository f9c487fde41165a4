// CTransmitter: the building blocks of the loop and sensor calibration and of the fixed-current check.
// All of them accept only a result of 0.
#include "hart/transmitter.h"

namespace zelhart::hart {
namespace {

constexpr uint8_t kCalibrationFirstByte = 0; // the byte before the units or mode of 142 and 145

} // namespace

int CTransmitter::SetFixedCurrent() {
    if (IsNotSet(m_fixedCurrent)) return 1;
    const int rc = Exchange(CommandIndex::SetFixedCurrent, {&m_fixedCurrent});
    if (rc != kResponseSuccess) {
        // No valid answer (bit 7: a line fault or silence): the request may still have been taken.
        if ((rc & 0x80) != 0) fixedOutput_ = m_fixedCurrent;
        Flag(Field::FixedCurrent);
        return 0;
    }
    float echo = m_fixedCurrent;
    ParseResponse(CommandIndex::SetFixedCurrent, {&echo});
    Put(m_fixedCurrent, echo, Field::FixedCurrent);
    fixedOutput_ = echo;
    return 1;
}

int CTransmitter::ExitFixedCurrent() {
    const float leave = 0.0f;
    if (Exchange(CommandIndex::SetFixedCurrent, {&leave}) != kResponseSuccess) {
        Flag(Field::FixedCurrent);
        return 0;
    }
    m_fieldError.Clear(Field::FixedCurrent);
    fixedOutput_ = NotANumber;
    return 1;
}

LoopTrimResult CTransmitter::TrimLoop(CommandIndex index, float& measured, Field flag) {
    if (IsNotSet(measured)) return {};
    const int rc = Exchange(index, {&measured});
    if (rc != kResponseSuccess) {
        Flag(flag);
        return {0, rc};
    }
    float echo = measured;
    ParseResponse(index, {&echo});
    Put(measured, echo, flag);
    return {1, 0};
}

LoopTrimResult CTransmitter::TrimLoopZero() {
    return TrimLoop(CommandIndex::TrimLoopCurrentZero, m_loop4mAMeasured, Field::Loop4mAMeasured);
}

LoopTrimResult CTransmitter::TrimLoopGain() {
    return TrimLoop(CommandIndex::TrimLoopCurrentGain, m_loop20mAMeasured, Field::Loop20mAMeasured);
}

int CTransmitter::ReadCalibrationInfo() {
    if (m_calUnits == kUnitsNotSet) return 1;
    const Field read[] = {Field::CalUnits,      Field::CalMode,   Field::UpperCalLimit,
                          Field::LowerCalLimit, Field::TrimUpper, Field::TrimLower};
    if (Exchange(CommandIndex::ReadCalibrationInfo, {&kCalibrationFirstByte, &m_calUnits}) !=
        kResponseSuccess) {
        m_calUnits = kUnitsNotSet;
        m_calMode = kCodeNotSet;
        m_upperCalLimit = m_lowerCalLimit = m_trimUpper = m_trimLower = NotANumber;
        for (Field f : read)
            Flag(f, false);
        return 0;
    }
    ParseResponse(CommandIndex::ReadCalibrationInfo, {nullptr, &m_calUnits, &m_calMode, &m_upperCalLimit,
                                                      &m_lowerCalLimit, &m_trimUpper, &m_trimLower});
    // For these fields the flag records that they were read.
    for (Field f : read)
        Flag(f, true);
    return 1;
}

int CTransmitter::WriteCalibrationMode() {
    if (m_calMode == kCodeNotSet) return 1;
    if (Exchange(CommandIndex::WriteCalibrationMode, {&kCalibrationFirstByte, &m_calMode}) !=
        kResponseSuccess) {
        Flag(Field::CalMode);
        return 0;
    }
    int32_t echo = m_calMode;
    ParseResponse(CommandIndex::WriteCalibrationMode, {nullptr, &echo});
    Put(m_calMode, echo, Field::CalMode);
    return 1;
}

int CTransmitter::TrimSensorPoint(CommandIndex index, float& point, Field flag) {
    if (m_calUnits == kUnitsNotSet || IsNotSet(point)) return 1;
    if (Exchange(index, {&m_calUnits, &point}) != kResponseSuccess) {
        m_calUnits = kUnitsNotSet;
        point = NotANumber;
        Flag(Field::CalUnits, false);
        Flag(flag, false);
        return 0;
    }
    ParseResponse(index, {&m_calUnits, &point});
    // The flags record that the trim was taken.
    Flag(Field::CalUnits, true);
    Flag(flag, true);
    return 1;
}

int CTransmitter::TrimSensorLower() {
    return TrimSensorPoint(CommandIndex::TrimSensorLower, m_trimLower, Field::TrimLower);
}

int CTransmitter::TrimSensorUpper() {
    return TrimSensorPoint(CommandIndex::TrimSensorUpper, m_trimUpper, Field::TrimUpper);
}

} // namespace zelhart::hart
