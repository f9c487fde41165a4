// The transmitter's configuration write commands.
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/packed_ascii.h"

#include "wire.h"

#include <algorithm>
#include <cmath>

namespace zelhart::sim {
namespace {

std::string RightTrimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

bool IsDate(uint8_t day, uint8_t month) { return day >= 1 && day <= 31 && month >= 1 && month <= 12; }

} // namespace

KorvelDevice::Answer KorvelDevice::WriteTagDescriptorDate(const wire::Reader& in, wire::Writer& out) {
    if (!IsDate(in.U8(18), in.U8(19))) return {9, false}; // invalid date
    config_.tag = RightTrimmed(UnpackAscii(in.Bytes(0, 6)));
    config_.descriptor = RightTrimmed(UnpackAscii(in.Bytes(6, 12)));
    config_.day = in.U8(18);
    config_.month = in.U8(19);
    config_.year = in.U8(20);
    Changed();
    out.Bytes(in.Bytes(0, 21));
    return {};
}

KorvelDevice::Answer KorvelDevice::WriteDamping(const wire::Reader& in, wire::Writer& out) {
    float v = in.F32(0);
    if (std::isnan(v)) return {kRcTooSmall, false};
    if (v > kMaxDamping) return {kRcTooLarge, false};
    uint8_t code = kRcSuccess;
    if (v < kMinDamping) {
        v = kMinDamping;
        code = kRcWarningAdjusted;
    }
    config_.damping = v;
    Changed();
    out.F32(v);
    return {code, true};
}

KorvelDevice::Answer KorvelDevice::WriteRange(const wire::Reader& in, wire::Writer& out) {
    const SensorInfo& s = sensor();
    uint8_t units = in.U8(0);
    float upper = in.F32(1);
    float lower = in.F32(5);
    if (!UnitAllowed(s, units)) return {kRcInvalidSelection, false};
    if (uint8_t code = CheckRange(s, units, upper, lower); code != 0) return {code, false};
    if (units != config_.rangeUnits) {
        upper = FromBase(s, ToBase(s, upper, units), config_.rangeUnits);
        lower = FromBase(s, ToBase(s, lower, units), config_.rangeUnits);
    }
    config_.upperRange = upper;
    config_.lowerRange = lower;
    Changed();
    out.Bytes(in.Bytes(0, 9));
    return {};
}

KorvelDevice::Answer KorvelDevice::WriteUnits(const wire::Reader& in, wire::Writer& out) {
    const SensorInfo& s = sensor();
    uint8_t units = in.U8(0);
    if (!UnitAllowed(s, units)) return {kRcInvalidSelection, false};
    if (units != config_.rangeUnits) {
        auto limits = *SensorLimits(s, units);
        auto convert = [&](float v) {
            return std::clamp(FromBase(s, ToBase(s, v, config_.rangeUnits), units), limits.lower, limits.upper);
        };
        config_.upperRange = convert(config_.upperRange);
        config_.lowerRange = convert(config_.lowerRange);
        config_.rangeUnits = units;
    }
    Changed();
    out.U8(units);
    return {};
}

KorvelDevice::Answer KorvelDevice::FixedCurrent(const wire::Reader& in, wire::Writer& out) {
    float v = in.F32(0);
    if (v == 0.0f) {
        fixedCurrent_.reset();
    } else {
        if (!(v >= 3.5f)) return {kRcTooSmall, false};
        if (v > 23.0f) return {kRcTooLarge, false};
        fixedCurrent_ = v;
    }
    out.F32(v);
    return {};
}

// The loop trims need the output fixed at the point being trimmed (4 mA for the zero, 20 mA for
// the gain) and a meter reading close to it.
KorvelDevice::Answer KorvelDevice::TrimLoop(const wire::Reader& in, wire::Writer& out, bool zero) {
    float point = zero ? 4.0f : 20.0f;
    float tolerance = zero ? 0.2f : 0.5f;
    if (!fixedCurrent_ || *fixedCurrent_ != point) return {9, false}; // wrong loop current mode
    float measured = in.F32(0);
    if (measured > point + tolerance) return {kRcTooLarge, false};
    if (!(measured >= point - tolerance)) return {kRcTooSmall, false};
    (zero ? config_.loopZeroMeasured : config_.loopGainMeasured) = measured;
    Changed();
    out.F32(measured);
    return {};
}

KorvelDevice::Answer KorvelDevice::Reset() {
    resetPending_ = true;
    return {};
}

KorvelDevice::Answer KorvelDevice::ThermometerParameter(const wire::Reader& in, wire::Writer& out) {
    uint8_t op = in.U8(0);
    uint8_t param = in.U8(2);
    uint8_t v1 = in.U8(3), v2 = in.U8(4), v3 = in.U8(5);
    auto& t = config_.thermometer;
    if (op != 1 && op != 2) return {kRcInvalidSelection, false};
    bool write = op == 2;
    if (write && config_.writeProtect == 1) return {kRcWriteProtected, false};
    switch (param) {
    case 108:
        if (write && v1 > 5) return {kRcTooLarge, false};
        if (write) t.armatureLetter = v1, t.armatureNumber = v2;
        v1 = t.armatureLetter, v2 = t.armatureNumber, v3 = 0;
        break;
    case 76:
        if (write) t.head = v1;
        v1 = t.head, v2 = 0, v3 = 0;
        break;
    case 74:
        if (write) t.cableEntry = v1;
        v1 = t.cableEntry, v2 = 0, v3 = 0;
        break;
    case 75:
        if (write) t.execution = v1;
        v1 = t.execution, v2 = 0, v3 = 0;
        break;
    case 110:
        if (write) t.mountingLength = uint16_t(v1 << 8 | v2);
        v1 = uint8_t(t.mountingLength >> 8), v2 = uint8_t(t.mountingLength), v3 = 0;
        break;
    case 77:
        if (write && !IsDate(v1, v2)) return {kRcInvalidSelection, false};
        if (write) t.assemblyDay = v1, t.assemblyMonth = v2, t.assemblyYear = v3;
        v1 = t.assemblyDay, v2 = t.assemblyMonth, v3 = t.assemblyYear;
        break;
    case 194:
        if (write) t.serial = uint32_t(v1) << 16 | uint32_t(v2) << 8 | v3;
        v1 = uint8_t(t.serial >> 16), v2 = uint8_t(t.serial >> 8), v3 = uint8_t(t.serial);
        break;
    default: return {kRcInvalidSelection, false};
    }
    if (write) Changed();
    for (uint8_t b : {op, uint8_t(0), param, v1, v2, v3, uint8_t(0)}) out.U8(b);
    return {};
}

// A new sensor type keeps the range when it still fits; otherwise the range becomes the new
// sensor's full range in a unit it allows, and the answer warns with code 8. The calibration of the
// old sensor does not apply to the new one.
KorvelDevice::Answer KorvelDevice::WriteSensorConfig(const wire::Reader& in, wire::Writer& out) {
    if (in.U8(0) != 0) return {9, false};
    const SensorInfo* next = FindSensor(in.U8(1));
    if (!next) return {11, false};
    uint8_t connection = in.U8(2);
    if (!ConnectionAllowed(*next, connection)) return {12, false};

    uint8_t code = kRcSuccess;
    const SensorInfo& previous = sensor();
    if (next->code != previous.code) {
        if (BaseUnit(*next) != BaseUnit(previous)) config_.processValue = BaseUnit(*next) == kUnitCelsius ? 21.5f
                                                                         : BaseUnit(*next) == kUnitOhm  ? 110.0f
                                                                                                        : 12.5f;
        bool fits = UnitAllowed(*next, config_.rangeUnits) &&
                    CheckRange(*next, config_.rangeUnits, config_.upperRange, config_.lowerRange) == 0;
        if (!fits) {
            if (!UnitAllowed(*next, config_.rangeUnits)) config_.rangeUnits = BaseUnit(*next);
            auto limits = *SensorLimits(*next, config_.rangeUnits);
            config_.upperRange = limits.upper;
            config_.lowerRange = limits.lower;
            code = kRcWarningAdjusted;
        }
        config_.calibrationMode = 0;
        config_.trimLowerReference = config_.trimLowerReading = kNotANumber;
        config_.trimUpperReference = config_.trimUpperReading = kNotANumber;
        calibrationError_ = false;
    }
    config_.sensorType = next->code;
    config_.sensorConnection = connection;
    Changed();
    out.Bytes(in.Bytes(0, 3));
    return {code, true};
}

KorvelDevice::Answer KorvelDevice::WriteFilter(const wire::Reader& in, wire::Writer& out) {
    if (in.U8(0) > 1) return {kRcInvalidSelection, false};
    config_.filter = in.U8(0);
    Changed();
    out.U8(config_.filter);
    return {};
}

KorvelDevice::Answer KorvelDevice::WriteLevels(const wire::Reader& in, wire::Writer& out) {
    float highAlarm = in.F32(0), lowAlarm = in.F32(4), highSaturation = in.F32(8), lowSaturation = in.F32(12);
    if (uint8_t code = CheckLevels(highAlarm, lowAlarm, highSaturation, lowSaturation); code != 0)
        return {code, false};
    config_.highAlarm = highAlarm;
    config_.lowAlarm = lowAlarm;
    config_.highSaturation = highSaturation;
    config_.lowSaturation = lowSaturation;
    Changed();
    out.Bytes(in.Bytes(0, 16));
    return {};
}

KorvelDevice::Answer KorvelDevice::WriteAlarmType(const wire::Reader& in, wire::Writer& out) {
    if (in.U8(0) > 1) return {kRcInvalidSelection, false};
    config_.alarmType = in.U8(0);
    Changed();
    out.U8(config_.alarmType);
    return {};
}

// The write-protection switch is guarded by a 24-bit code, 0 on this transmitter. It is accepted
// while protected, so that protection can be taken off again.
KorvelDevice::Answer KorvelDevice::WriteProtection(const wire::Reader& in, wire::Writer& out) {
    if (in.U24(0) != 0) return {kRcAccessRestricted, false};
    if (in.U8(3) > 1) return {kRcInvalidSelection, false};
    config_.writeProtect = in.U8(3);
    Changed();
    out.Bytes(in.Bytes(0, 4));
    return {};
}

} // namespace zelhart::sim
