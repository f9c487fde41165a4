// What a Korvel-4810 keeps in its non-volatile memory, and the rules every value must obey.
//
// The same rules judge a write command on the line and a configuration loaded from a state file, so
// that a loaded configuration is always one the transmitter could have reached by itself.
#pragma once

#include "zelhart/sim/sensors.h"

#include <cstdint>
#include <limits>
#include <string>

namespace zelhart::sim {

inline constexpr float kNotANumber = std::numeric_limits<float>::quiet_NaN();

struct DeviceIdentity {
    uint8_t manufacturer = 153;
    uint8_t deviceType = 252;
    uint8_t requestPreambles = 5;
    uint8_t universalRevision = 5;
    uint8_t deviceRevision = 1;
    uint8_t softwareRevision = 3;
    uint8_t hardwareRevision = 2; // five bits
    uint8_t signallingCode = 0;   // three bits
    uint8_t flags = 0;
    uint32_t deviceId = 0x3A5F21; // 24 bits
};

// Construction data of the thermometer the transmitter is built into (command 139).
struct ThermometerData {
    uint8_t armatureLetter = 2; // 1..5 for A..E, 0 none
    uint8_t armatureNumber = 12;
    uint8_t head = 2;
    uint8_t cableEntry = 1;
    uint8_t execution = 3;
    uint16_t mountingLength = 160; // mm
    uint8_t assemblyDay = 14;
    uint8_t assemblyMonth = 3;
    uint8_t assemblyYear = 124; // year - 1900
    uint32_t serial = 104233;   // 24 bits
};

enum class SensorFault : uint8_t { None, Open, Short };

struct DeviceConfig {
    DeviceIdentity identity;

    std::string tag = "TT-101";             // up to 8 packable characters
    std::string descriptor = "KORVEL-4810"; // up to 16
    uint8_t day = 14, month = 3, year = 124;
    uint32_t finalAssembly = 481001; // 24 bits
    uint32_t sensorSerial = 215733;  // 24 bits

    uint8_t sensorType = 1; // Pt100, a = 0.00385
    uint8_t sensorConnection = 3;

    uint8_t rangeUnits = kUnitCelsius;
    float upperRange = 100.0f;
    float lowerRange = 0.0f;
    float damping = 1.0f; // s

    uint8_t alarmType = 0; // 0 high, 1 low
    uint8_t transferFunction = 0;
    uint8_t privateLabel = 153;
    float highAlarm = 21.0f, lowAlarm = 3.6f, highSaturation = 20.5f, lowSaturation = 3.8f; // mA
    uint8_t filter = 1;       // 0 = 60 Hz, 1 = 50 Hz
    uint8_t writeProtect = 0; // 0 off, 1 on

    ThermometerData thermometer;

    // Sensor calibration: factory (0) or user (1). A user trim point is the reference value the
    // user gave and the uncorrected reading at that moment, both in the sensor's base unit.
    uint8_t calibrationMode = 0;
    float trimLowerReference = kNotANumber, trimLowerReading = kNotANumber;
    float trimUpperReference = kNotANumber, trimUpperReading = kNotANumber;

    // Loop current trims: the currents the user's meter showed at 4 mA and at 20 mA.
    float loopZeroMeasured = 4.0f;
    float loopGainMeasured = 20.0f;

    // The simulated process: what the sensor sees (base unit), the electronics' own temperature,
    // whether both wander a little over time, and faults.
    float processValue = 21.5f;
    float electronicsTemperature = 24.0f;
    bool drift = true;
    SensorFault sensorFault = SensorFault::None;
    bool electronicsFault = false;
};

// Response codes of the range check (command 35): 0, or 9..14.
uint8_t CheckRange(const SensorInfo& sensor, uint8_t units, float upper, float lower);

// Response codes of the alarm and saturation level check (command 155): 0, or 10..13.
uint8_t CheckLevels(float highAlarm, float lowAlarm, float highSaturation, float lowSaturation);

inline constexpr float kMinDamping = 0.5f;
inline constexpr float kMaxDamping = 32.0f;

// Every rule at once; an empty text when the configuration is sound, else what is wrong.
std::string ValidateConfig(const DeviceConfig& config);

// The configuration of a new transmitter (the defaults above).
DeviceConfig FactoryConfig();

} // namespace zelhart::sim
