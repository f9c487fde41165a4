// The Korvel-4810 transmitter as a HART slave: it takes the frames it hears on the line and gives
// the frame it answers with, or none. No input or output of its own; time comes from the caller as
// the transmitter's uptime, so that the same calls always give the same answers.
//
// Addressing: a short frame reaches the transmitter at polling address 0 with command 0 or 249; a
// long frame when its five address bytes are the transmitter's long address (manufacturer code's low
// six bits, device type, device identifier), the master bit not compared. An answer repeats the
// request's master bit and carries the burst-mode bit while burst mode is on.
#pragma once

#include "zelhart/sim/device_config.h"
#include "zelhart/sim/hart_frame.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace zelhart::sim {

namespace wire {
class Reader;
class Writer;
} // namespace wire

// First status byte of an answer.
inline constexpr uint8_t kRcSuccess = 0;
inline constexpr uint8_t kRcInvalidSelection = 2;
inline constexpr uint8_t kRcTooLarge = 3;
inline constexpr uint8_t kRcTooSmall = 4;
inline constexpr uint8_t kRcTooFewDataBytes = 5;
inline constexpr uint8_t kRcWriteProtected = 7;
inline constexpr uint8_t kRcWarningAdjusted = 8;
inline constexpr uint8_t kRcSpanTooSmall = 14;
inline constexpr uint8_t kRcAccessRestricted = 16;
inline constexpr uint8_t kRcBusy = 32;
inline constexpr uint8_t kRcCommandNotImplemented = 64;
inline constexpr uint8_t kRcCommunicationError = 0x80;   // with one of the flags below
inline constexpr uint8_t kRcLongitudinalParityError = 0x08;

// Second status byte (field device status).
inline constexpr uint8_t kStatusMalfunction = 0x80;
inline constexpr uint8_t kStatusConfigChanged = 0x40;
inline constexpr uint8_t kStatusColdStart = 0x20;
inline constexpr uint8_t kStatusMoreStatus = 0x10;
inline constexpr uint8_t kStatusLoopCurrentFixed = 0x08;
inline constexpr uint8_t kStatusLoopCurrentSaturated = 0x04;
inline constexpr uint8_t kStatusPvOutOfLimits = 0x01;

// Device variable codes of command 33.
inline constexpr uint8_t kVarSensorInput = 0;   // the sensor's electrical signal (mV or ohm)
inline constexpr uint8_t kVarElectronicsTemperature = 1;
inline constexpr uint8_t kVarMeasuredValue = 2; // the measured value in the range units
inline constexpr uint8_t kVarNotUsed = 250;

class KorvelDevice {
public:
    using Uptime = std::chrono::nanoseconds;

    // The configuration must satisfy ValidateConfig.
    explicit KorvelDevice(DeviceConfig config = FactoryConfig());

    // The answer to a frame heard on the line, or nothing when it is not a request to this
    // transmitter. A request to it with a wrong check byte is answered with a communication error.
    std::optional<Frame> Handle(const Frame& request, Uptime now);
    // True when the frame is a request to this transmitter (Handle would answer it).
    bool Hears(const Frame& frame) const;

    // The next n requests are answered with response code 32 (busy).
    void SetBusy(unsigned n) { busy_ = n; }
    unsigned busy() const { return busy_; }

    void SetBurstMode(bool on) { burst_ = on; }
    bool burstMode() const { return burst_; }
    // A burst frame (command 3 data) carrying the given master bit.
    Frame BurstFrame(bool primaryMaster, Uptime now);

    // Sets the simulated process value (base unit of the sensor); it is kept with the configuration.
    void SetProcessValue(float base) {
        config_.processValue = base;
        changed_ = true;
    }

    const DeviceConfig& config() const { return config_; }
    // True once after each change of the stored configuration.
    bool TakeConfigChanged();

    std::array<uint8_t, 5> LongAddress() const;

    struct LiveValues {
        float reading;       // uncorrected sensor reading, base unit (NaN on a sensor fault)
        float measured;      // corrected measured value in the range units (NaN on a sensor fault)
        float sensorInput;   // the reading in the sensor's electrical unit
        float electronicsTemperature;
        float loopCurrent;   // mA
        bool saturated;
        bool outOfLimits;
    };
    LiveValues Live(Uptime now) const;
    std::array<uint8_t, 5> AdditionalStatus() const;
    uint8_t DeviceStatus(Uptime now) const;
    bool fixedCurrent() const { return fixedCurrent_.has_value(); }

private:
    struct Answer {
        uint8_t code = kRcSuccess;
        bool withData = true; // errors carry no data
    };

    bool AddressedToMe(const Frame& request) const;
    Frame MakeReply(const Frame& request, uint8_t code, std::span<const uint8_t> data, Uptime now);
    Answer Dispatch(uint8_t command, const wire::Reader& in, wire::Writer& out, Uptime now);
    void Changed() {
        changed_ = true;
        configChangedFlag_ = true;
    }

    // Commands, grouped as in commands_*.cpp.
    Answer Identity(wire::Writer& out) const;
    Answer ReadPrimaryVariable(wire::Writer& out, Uptime now) const;
    Answer ReadCurrentAndPercent(wire::Writer& out, Uptime now) const;
    Answer ReadDynamicVariables(wire::Writer& out, Uptime now) const;
    Answer ReadTagDescriptorDate(wire::Writer& out) const;
    Answer ReadTransducerInfo(wire::Writer& out) const;
    Answer ReadOutputInfo(wire::Writer& out) const;
    Answer ReadDeviceVariables(const wire::Reader& in, wire::Writer& out, Uptime now) const;
    Answer ReadAdditionalStatus(wire::Writer& out) const;
    Answer WriteTagDescriptorDate(const wire::Reader& in, wire::Writer& out);
    Answer WriteDamping(const wire::Reader& in, wire::Writer& out);
    Answer WriteRange(const wire::Reader& in, wire::Writer& out);
    Answer WriteUnits(const wire::Reader& in, wire::Writer& out);
    Answer FixedCurrent(const wire::Reader& in, wire::Writer& out);
    Answer TrimLoop(const wire::Reader& in, wire::Writer& out, bool zero);
    Answer Reset();
    Answer ThermometerParameter(const wire::Reader& in, wire::Writer& out);
    Answer ReadSensorConfig(const wire::Reader& in, wire::Writer& out) const;
    Answer WriteSensorConfig(const wire::Reader& in, wire::Writer& out);
    Answer ReadCalibrationInfo(const wire::Reader& in, wire::Writer& out) const;
    Answer WriteCalibrationMode(const wire::Reader& in, wire::Writer& out);
    Answer TrimSensor(const wire::Reader& in, wire::Writer& out, bool upper, Uptime now);
    Answer WriteFilter(const wire::Reader& in, wire::Writer& out);
    Answer WriteLevels(const wire::Reader& in, wire::Writer& out);
    Answer ReadLevels(wire::Writer& out) const;
    Answer WriteAlarmType(const wire::Reader& in, wire::Writer& out);
    Answer WriteProtection(const wire::Reader& in, wire::Writer& out);

    const SensorInfo& sensor() const;
    float Corrected(float reading) const;

    DeviceConfig config_;
    unsigned busy_ = 0;
    bool burst_ = false;
    bool coldStart_ = true;
    bool configChangedFlag_ = false;
    bool changed_ = false;
    bool calibrationError_ = false;
    bool resetPending_ = false; // command 42 answered; the restart follows the answer
    std::optional<float> fixedCurrent_;
};

} // namespace zelhart::sim
