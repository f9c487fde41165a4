// The transmitter's read commands.
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/packed_ascii.h"

#include "wire.h"

namespace zelhart::sim {

KorvelDevice::Answer KorvelDevice::Identity(wire::Writer& out) const {
    const auto& id = config_.identity;
    out.U8(254);
    out.U8(id.manufacturer);
    out.U8(id.deviceType);
    out.U8(id.requestPreambles);
    out.U8(id.universalRevision);
    out.U8(id.deviceRevision);
    out.U8(id.softwareRevision);
    out.U8(uint8_t(id.hardwareRevision << 3 | (id.signallingCode & 0x07)));
    out.U8(id.flags);
    out.U24(id.deviceId);
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadPrimaryVariable(wire::Writer& out, Uptime now) const {
    out.U8(config_.rangeUnits);
    out.F32(Live(now).measured);
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadCurrentAndPercent(wire::Writer& out, Uptime now) const {
    LiveValues v = Live(now);
    out.F32(v.loopCurrent);
    out.F32(100.0f * (v.measured - config_.lowerRange) / (config_.upperRange - config_.lowerRange));
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadDynamicVariables(wire::Writer& out, Uptime now) const {
    LiveValues v = Live(now);
    out.F32(v.loopCurrent);
    out.U8(config_.rangeUnits);
    out.F32(v.measured);
    out.U8(kUnitCelsius);
    out.F32(v.electronicsTemperature);
    for (int i = 0; i < 2; ++i) {
        out.U8(kUnitNotUsed);
        out.F32(kNotANumber);
    }
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadTagDescriptorDate(wire::Writer& out) const {
    out.Bytes(PackAscii(config_.tag, 8));
    out.Bytes(PackAscii(config_.descriptor, 16));
    out.U8(config_.day);
    out.U8(config_.month);
    out.U8(config_.year);
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadTransducerInfo(wire::Writer& out) const {
    const SensorInfo& s = sensor();
    auto limits = SensorLimits(s, config_.rangeUnits);
    out.U24(config_.sensorSerial);
    out.U8(config_.rangeUnits);
    out.F32(limits->upper);
    out.F32(limits->lower);
    out.F32(MinimumSpan(s, config_.rangeUnits));
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadOutputInfo(wire::Writer& out) const {
    out.U8(config_.alarmType);
    out.U8(config_.transferFunction);
    out.U8(config_.rangeUnits);
    out.F32(config_.upperRange);
    out.F32(config_.lowerRange);
    out.F32(config_.damping);
    out.U8(config_.writeProtect);
    out.U8(config_.privateLabel);
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadDeviceVariables(const wire::Reader& in, wire::Writer& out,
                                                      Uptime now) const {
    LiveValues v = Live(now);
    size_t count = in.size() < 4 ? in.size() : 4;
    for (size_t i = 0; i < count; ++i) {
        uint8_t code = in.U8(i);
        out.U8(code);
        switch (code) {
        case kVarSensorInput:
            out.U8(sensor().electricalUnit);
            out.F32(v.sensorInput);
            break;
        case kVarElectronicsTemperature:
            out.U8(kUnitCelsius);
            out.F32(v.electronicsTemperature);
            break;
        case kVarMeasuredValue:
            out.U8(config_.rangeUnits);
            out.F32(v.measured);
            break;
        case kVarNotUsed:
            out.U8(kUnitNotUsed);
            out.F32(kNotANumber);
            break;
        default: return {kRcInvalidSelection, false};
        }
    }
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadAdditionalStatus(wire::Writer& out) const {
    out.Bytes(AdditionalStatus());
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadSensorConfig(const wire::Reader& in, wire::Writer& out) const {
    if (in.U8(0) != 0) return {9, false}; // the transmitter has one sensor, number 0
    out.U8(0);
    out.U8(config_.sensorType);
    out.U8(config_.sensorConnection);
    return {};
}

KorvelDevice::Answer KorvelDevice::ReadLevels(wire::Writer& out) const {
    out.F32(config_.highAlarm);
    out.F32(config_.lowAlarm);
    out.F32(config_.highSaturation);
    out.F32(config_.lowSaturation);
    return {};
}

} // namespace zelhart::sim
