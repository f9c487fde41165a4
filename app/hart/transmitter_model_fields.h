// Not-set markers, code sets and the per-field rejection flags (FieldError) of the transmitter model.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

// Bit pattern held by every float that was never set. Any NaN counts as not set.
inline constexpr std::uint32_t kNotANumberBits = 0x7FA00000u;
inline constexpr float NotANumber = std::bit_cast<float>(kNotANumberBits);

inline bool IsNotSet(float value) {
    return std::isnan(value);
}
inline bool IsSet(float value) {
    return !std::isnan(value);
}

// Not-set codes.
inline constexpr std::int32_t kSensorNone = 251; // sensor type and sensor connection ("none")
inline constexpr std::int32_t kUnitsNotSet = 38; // every units code
inline constexpr std::int32_t kCodeNotSet = 2; // alarm type, mains filter, write protection, calibration mode

// HART unit codes.
inline constexpr std::int32_t kUnitsCelsius = 32;
inline constexpr std::int32_t kUnitsFahrenheit = 33;
inline constexpr std::int32_t kUnitsRankine = 34;
inline constexpr std::int32_t kUnitsKelvin = 35;
inline constexpr std::int32_t kUnitsMillivolt = 36;
inline constexpr std::int32_t kUnitsOhm = 37;

// The tag: 8 UTF-16 characters and a terminator.
inline constexpr std::size_t kTagLength = 8;
using TagUnits = std::array<char16_t, kTagLength + 1>;

// Every field that has its own FieldError flag. The date bytes of command 13, m_limitUnits, the
// identity (m_manufacturerId, m_deviceType, m_deviceId), m_calPoints and m_progress have none.
enum class Field : std::size_t {
    // configuration
    Tag,
    SensorType,
    SensorConnection,
    AlarmType,
    RangeUnits,
    UpperRange,
    LowerRange,
    Damping,
    WriteProtect,
    UpperSensorLimit,
    LowerSensorLimit,
    Filter,
    FinalAssembly,
    HighAlarm,
    LowAlarm,
    HighSaturation,
    LowSaturation,
    DeviceTempUnits,
    DeviceTemp,
    MeasuredUnits,
    MeasuredValue,
    LoopCurrent,
    SensorFault,
    DeviceFault,
    // identity (revisions)
    UniversalRev,
    DeviceRev,
    SoftwareRev,
    HardwareRev,
    // thermometer construction data
    ArmatureLetter,
    ArmatureNumber,
    Head,
    CableEntry,
    Execution,
    MountingLength,
    ThermometerSerial,
    // kept when the document is cleared or a file is loaded: assembly date and calibration values
    AssemblyDay,
    AssemblyMonth,
    AssemblyYear,
    FixedCurrent,
    Loop4mAMeasured,
    Loop20mAMeasured,
    CalUnits,
    CalMode,
    UpperCalLimit,
    LowerCalLimit,
    TrimLower,
    TrimUpper,
    Count
};

inline constexpr std::size_t kFieldCount = static_cast<std::size_t>(Field::Count);

// True for the flags that clearing the document and loading a file reset: those of the
// configuration, identity and thermometer fields. The assembly date and calibration flags stay.
constexpr bool IsResetWithContents(Field field) {
    return field < Field::AssemblyDay;
}

// One 32-bit flag per field: 1 when the transmitter rejected the field (for the calibration
// fields: whether they were read).
class FieldError {
  public:
    std::int32_t Get(Field field) const { return m_flags[Index(field)]; }
    bool IsSet(Field field) const { return m_flags[Index(field)] != 0; }
    void Set(Field field, bool on = true) { m_flags[Index(field)] = on ? 1 : 0; }
    void Clear(Field field) { m_flags[Index(field)] = 0; }

    bool Any() const {
        for (std::int32_t flag : m_flags)
            if (flag != 0) return true;
        return false;
    }
    void ClearAll() { m_flags.fill(0); }
    // Clears the flags IsResetWithContents names; the others keep their state.
    void ClearContentsFlags() {
        for (std::size_t i = 0; i < kFieldCount; ++i)
            if (IsResetWithContents(static_cast<Field>(i))) m_flags[i] = 0;
    }

    bool operator==(const FieldError&) const = default;

  private:
    static constexpr std::size_t Index(Field field) { return static_cast<std::size_t>(field); }
    std::array<std::int32_t, kFieldCount> m_flags{};
};
