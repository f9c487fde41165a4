#include "zelhart/sim/device_config.h"

#include "zelhart/sim/packed_ascii.h"

#include <cmath>

namespace zelhart::sim {
namespace {

bool Within(float v, float lo, float hi) { return v >= lo && v <= hi; } // false for NaN

std::string CheckTrimPair(const char* name, float reference, float reading) {
    bool set = !std::isnan(reference) || !std::isnan(reading);
    if (set && (!std::isfinite(reference) || !std::isfinite(reading)))
        return std::string(name) + " trim needs both a reference and a reading";
    return {};
}

} // namespace

uint8_t CheckRange(const SensorInfo& sensor, uint8_t units, float upper, float lower) {
    auto limits = SensorLimits(sensor, units);
    if (!limits) return 2;
    bool lowerOk = Within(lower, limits->lower, limits->upper);
    bool upperOk = Within(upper, limits->lower, limits->upper);
    if (!lowerOk && !upperOk) return 13;
    if (!lowerOk) return lower > limits->upper ? 9 : 10;
    if (!upperOk) return upper > limits->upper ? 11 : 12;
    if (std::fabs(upper - lower) < MinimumSpan(sensor, units)) return 14;
    return 0;
}

uint8_t CheckLevels(float highAlarm, float lowAlarm, float highSaturation, float lowSaturation) {
    if (!Within(highAlarm, 21.0f, 23.0f)) return 10;
    if (!Within(highSaturation, 20.5f, 22.9f) || !(highSaturation < highAlarm)) return 11;
    if (!Within(lowAlarm, 3.5f, 3.75f)) return 12;
    if (!Within(lowSaturation, 3.7f, 3.9f) || !(lowSaturation > lowAlarm)) return 13;
    return 0;
}

DeviceConfig FactoryConfig() { return DeviceConfig{}; }

std::string ValidateConfig(const DeviceConfig& c) {
    const auto& id = c.identity;
    if (id.hardwareRevision > 31) return "hardware_revision must be 0..31";
    if (id.signallingCode > 7) return "signalling_code must be 0..7";
    if (id.deviceId > 0xFFFFFF) return "device_id must fit 24 bits";
    if (c.tag.size() > 8 || !IsPackable(c.tag)) return "tag must be up to 8 characters of the HART set";
    if (c.descriptor.size() > 16 || !IsPackable(c.descriptor))
        return "descriptor must be up to 16 characters of the HART set";
    if (c.day < 1 || c.day > 31 || c.month < 1 || c.month > 12) return "date is not a calendar date";
    if (c.finalAssembly > 0xFFFFFF) return "final_assembly must fit 24 bits";
    if (c.sensorSerial > 0xFFFFFF) return "sensor_serial must fit 24 bits";

    const SensorInfo* sensor = FindSensor(c.sensorType);
    if (!sensor) return "sensor_type is not a sensor type of the transmitter";
    if (!ConnectionAllowed(*sensor, c.sensorConnection)) return "sensor_connection does not suit the sensor";
    if (!UnitAllowed(*sensor, c.rangeUnits)) return "range_units do not suit the sensor";
    switch (CheckRange(*sensor, c.rangeUnits, c.upperRange, c.lowerRange)) {
    case 0: break;
    case 14: return "range span is below the sensor's minimum span";
    default: return "range values lie outside the sensor limits";
    }
    if (!Within(c.damping, kMinDamping, kMaxDamping)) return "damping must be 0.5..32 s";

    if (c.alarmType > 1) return "alarm_type must be 0 (high) or 1 (low)";
    if (CheckLevels(c.highAlarm, c.lowAlarm, c.highSaturation, c.lowSaturation) != 0)
        return "alarm and saturation levels are out of their bounds";
    if (c.filter > 1) return "mains_filter must be 0 (60 Hz) or 1 (50 Hz)";
    if (c.writeProtect > 1) return "write_protect must be 0 or 1";

    const auto& t = c.thermometer;
    if (t.armatureLetter > 5) return "armature_letter must be 0..5";
    if (t.assemblyDay < 1 || t.assemblyDay > 31 || t.assemblyMonth < 1 || t.assemblyMonth > 12)
        return "assembly_date is not a calendar date";
    if (t.serial > 0xFFFFFF) return "thermometer_serial must fit 24 bits";

    if (c.calibrationMode > 1) return "calibration_mode must be 0 (factory) or 1 (user)";
    if (auto e = CheckTrimPair("lower", c.trimLowerReference, c.trimLowerReading); !e.empty()) return e;
    if (auto e = CheckTrimPair("upper", c.trimUpperReference, c.trimUpperReading); !e.empty()) return e;
    if (!Within(c.loopZeroMeasured, 3.8f, 4.2f)) return "loop_zero_measured must be 3.8..4.2 mA";
    if (!Within(c.loopGainMeasured, 19.5f, 20.5f)) return "loop_gain_measured must be 19.5..20.5 mA";
    if (!Within(c.processValue, -1.0e6f, 1.0e6f)) return "process_value must be a number";
    if (!Within(c.electronicsTemperature, -60.0f, 150.0f)) return "electronics_temperature must be -60..150";
    return {};
}

} // namespace zelhart::sim
