// Sensor calibration: calibration information, calibration mode and the two trim points.
#include "zelhart/sim/korvel_device.h"

#include "wire.h"

#include <cmath>

namespace zelhart::sim {
namespace {

// A trim point is refused (status bits, no change) when the reference differs from the reading by
// more than this share of the sensor's full range.
constexpr float kTrimTolerance = 0.02f;

} // namespace

KorvelDevice::Answer KorvelDevice::ReadCalibrationInfo(const wire::Reader& in, wire::Writer& out) const {
    const SensorInfo& s = sensor();
    uint8_t units = in.U8(1);
    if (in.U8(0) != 0) return {9, false};
    if (!UnitAllowed(s, units)) return {12, false}; // calibration units not allowed for the sensor
    auto limits = *SensorLimits(s, units);
    auto point = [&](float reference) { return std::isnan(reference) ? kNotANumber : FromBase(s, reference, units); };
    out.U8(0);
    out.U8(units);
    out.U8(config_.calibrationMode);
    out.F32(limits.upper);
    out.F32(limits.lower);
    out.F32(point(config_.trimUpperReference));
    out.F32(point(config_.trimLowerReference));
    return {};
}

KorvelDevice::Answer KorvelDevice::WriteCalibrationMode(const wire::Reader& in, wire::Writer& out) {
    if (in.U8(0) != 0) return {9, false};
    uint8_t mode = in.U8(1);
    if (mode > 1) return {12, false};
    if (mode == 0) { // back to the factory calibration: the user's trim points are dropped
        config_.trimLowerReference = config_.trimLowerReading = kNotANumber;
        config_.trimUpperReference = config_.trimUpperReading = kNotANumber;
    }
    config_.calibrationMode = mode;
    Changed();
    out.Bytes(in.Bytes(0, 2));
    return {};
}

// Commands 130 (upper point) and 131 (lower point): the user states what the sensor really sees
// now. The transmitter keeps the pair (reference, its own reading) and corrects later readings
// through the points it has: an offset with one point, a straight line through two.
KorvelDevice::Answer KorvelDevice::TrimSensor(const wire::Reader& in, wire::Writer& out, bool upper, Uptime now) {
    const SensorInfo& s = sensor();
    uint8_t units = in.U8(0);
    float value = in.F32(1);
    if (!UnitAllowed(s, units)) return {12, false};
    if (config_.sensorFault != SensorFault::None) return {13, false}; // no valid reading to trim against
    if (config_.calibrationMode != 1) return {kRcAccessRestricted, false};
    auto limits = *SensorLimits(s, units);
    if (value > limits.upper) return {9, false};
    if (!(value >= limits.lower)) return {10, false};

    float base = ToBase(s, value, units);
    float reading = Live(now).reading;
    auto full = *SensorLimits(s, BaseUnit(s));
    out.Bytes(in.Bytes(0, 5));
    if (std::fabs(base - reading) > kTrimTolerance * (full.upper - full.lower)) {
        calibrationError_ = true; // answered, but the point is not taken
        return {};
    }
    float otherReference = upper ? config_.trimLowerReference : config_.trimUpperReference;
    float otherReading = upper ? config_.trimLowerReading : config_.trimUpperReading;
    float minSpan = MinimumSpan(s, BaseUnit(s));
    if (!std::isnan(otherReference) &&
        (std::fabs(base - otherReference) < minSpan || std::fabs(reading - otherReading) < minSpan))
        return {kRcSpanTooSmall, false};

    (upper ? config_.trimUpperReference : config_.trimLowerReference) = base;
    (upper ? config_.trimUpperReading : config_.trimLowerReading) = reading;
    calibrationError_ = false;
    Changed();
    return {};
}

} // namespace zelhart::sim
