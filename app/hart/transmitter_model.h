// The transmitter's configuration and state fields, with their not-set markers, field error flags,
// getters and setters. CTransmitter adds the HART link and the device operations on top of these.
#pragma once

#include "hart/transmitter_model_fields.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// The part of the model a configuration file holds, in file order. Floats are kept as held, so a
// value that is not set keeps its bit pattern.
struct StoredConfiguration {
    TagUnits tag{};
    std::int32_t sensorType = kSensorNone;
    std::int32_t sensorConnection = kSensorNone;
    std::int32_t rangeUnits = kUnitsNotSet;
    float lowerRange = NotANumber;
    float upperRange = NotANumber;
    float damping = NotANumber;
    std::int32_t alarmType = kCodeNotSet;
    float lowAlarm = NotANumber;
    float highAlarm = NotANumber;
    float lowSaturation = NotANumber;
    float highSaturation = NotANumber;
    std::int32_t filter = kCodeNotSet;
    std::int32_t writeProtect = kCodeNotSet;
    std::uint8_t armatureLetter = 0;
    std::uint8_t armatureNumber = 0;
    std::int32_t head = 0;
    std::int32_t cableEntry = 0;
    std::int32_t execution = 0;
    std::int32_t mountingLength = 0;
    std::uint8_t assemblyDay = 0;
    std::uint8_t assemblyMonth = 0;
    std::uint8_t assemblyYear = 0;
    std::int32_t thermometerSerial = 0;
};

class CTransmitterModel {
  public:
    CTransmitterModel() = default;
    virtual ~CTransmitterModel() = default;
    CTransmitterModel(const CTransmitterModel&) = default;
    CTransmitterModel& operator=(const CTransmitterModel&) = default;

    // Called after a setter of a user-edited field changed its value: the document marks itself
    // modified and leaves the cleared state. Setting an equal value (a NaN over a NaN) does not call it.
    // A copy of the model starts without a handler.
    void SetEditHandler(std::function<void()> handler) { m_onEdited.call = std::move(handler); }

    // The not-set state of a cleared document. The assembly date, the calibration work values, the
    // date of command 13, the identity and the progress keep their values, and so do the field error
    // flags of the assembly date and calibration fields.
    void ClearContents();

    // --- field error flags
    const FieldError& GetFieldErrors() const { return m_fieldError; }
    bool GetFieldError(Field field) const { return m_fieldError.IsSet(field); }
    void SetFieldError(Field field, bool on) { m_fieldError.Set(field, on); }
    void ClearFieldErrors() { m_fieldError.ClearAll(); }

    // --- configuration file
    StoredConfiguration GetStoredConfiguration() const;
    // Takes the fields of a loaded file: the range units also become the limit units, the tag is
    // terminated after 8 characters, and the flags of the configuration, identity and thermometer
    // fields are cleared.
    void ApplyStoredConfiguration(const StoredConfiguration& stored);

    // --- comparison: names of the fields whose values differ (floats by bit pattern).
    std::vector<std::string> DifferentFields(const CTransmitterModel& other) const;

    // --- getters
    // The 8 tag characters for display: a character that is non-zero and below 32, or 96 and above,
    // becomes a space; the text ends at the first zero or after 8 characters.
    std::u16string GetTag() const;
    // The 9 code units as held (terminator included).
    const TagUnits& GetTagUnits() const { return m_tag; }
    std::uint8_t GetDateDay() const { return m_dateDay; }
    std::uint8_t GetDateMonth() const { return m_dateMonth; }
    std::uint8_t GetDateYear() const { return m_dateYear; }
    std::int32_t GetSensorType() const { return m_sensorType; }
    std::int32_t GetSensorConnection() const { return m_sensorConnection; }
    std::int32_t GetAlarmType() const { return m_alarmType; }
    std::int32_t GetRangeUnits() const { return m_rangeUnits; }
    float GetUpperRange() const { return m_upperRange; }
    float GetLowerRange() const { return m_lowerRange; }
    float GetDamping() const { return m_damping; }
    std::int32_t GetWriteProtect() const { return m_writeProtect; }
    std::int32_t GetLimitUnits() const { return m_limitUnits; }
    float GetUpperSensorLimit() const { return m_upperSensorLimit; }
    float GetLowerSensorLimit() const { return m_lowerSensorLimit; }
    std::int32_t GetFilter() const { return m_filter; }
    std::int32_t GetFinalAssembly() const { return m_finalAssembly; }
    float GetHighAlarm() const { return m_highAlarm; }
    float GetLowAlarm() const { return m_lowAlarm; }
    float GetHighSaturation() const { return m_highSaturation; }
    float GetLowSaturation() const { return m_lowSaturation; }
    std::int32_t GetDeviceTempUnits() const { return m_deviceTempUnits; }
    float GetDeviceTemp() const { return m_deviceTemp; }
    std::int32_t GetMeasuredUnits() const { return m_measuredUnits; }
    float GetMeasuredValue() const { return m_measuredValue; }
    float GetLoopCurrent() const { return m_loopCurrent; }
    std::int32_t GetSensorFault() const { return m_sensorFault; }
    std::int32_t GetDeviceFault() const { return m_deviceFault; }
    std::uint8_t GetArmatureLetter() const { return m_armatureLetter; }
    std::uint8_t GetArmatureNumber() const { return m_armatureNumber; }
    std::int32_t GetHead() const { return m_head; }
    std::int32_t GetCableEntry() const { return m_cableEntry; }
    std::int32_t GetExecution() const { return m_execution; }
    std::int32_t GetMountingLength() const { return m_mountingLength; }
    std::uint8_t GetAssemblyDay() const { return m_assemblyDay; }
    std::uint8_t GetAssemblyMonth() const { return m_assemblyMonth; }
    std::uint8_t GetAssemblyYear() const { return m_assemblyYear; }
    std::int32_t GetThermometerSerial() const { return m_thermometerSerial; }
    std::int32_t GetManufacturerId() const { return m_manufacturerId; }
    std::int32_t GetDeviceType() const { return m_deviceType; }
    std::int32_t GetDeviceId() const { return m_deviceId; }
    std::uint8_t GetUniversalRev() const { return m_universalRev; }
    std::uint8_t GetDeviceRev() const { return m_deviceRev; }
    std::uint8_t GetSoftwareRev() const { return m_softwareRev; }
    // The hardware revision: bits 7-3 of the held byte.
    std::uint8_t GetHardwareRev() const { return static_cast<std::uint8_t>(m_hardwareRev >> 3); }
    // The whole byte: revision and signalling code.
    std::uint8_t GetHardwareRevByte() const { return m_hardwareRev; }
    float GetFixedCurrent() const { return m_fixedCurrent; }
    float GetLoop4mAMeasured() const { return m_loop4mAMeasured; }
    float GetLoop20mAMeasured() const { return m_loop20mAMeasured; }
    std::int32_t GetCalUnits() const { return m_calUnits; }
    std::int32_t GetCalMode() const { return m_calMode; }
    float GetUpperCalLimit() const { return m_upperCalLimit; }
    float GetLowerCalLimit() const { return m_lowerCalLimit; }
    float GetTrimLower() const { return m_trimLower; }
    float GetTrimUpper() const { return m_trimUpper; }
    std::int32_t GetCalPoints() const { return m_calPoints; }
    std::int32_t GetProgress() const { return m_progress; }

    // --- setters. Each stores the value and clears the field's error flag. Those of the fields the
    // user edits (tag, sensor type and connection, alarm type, range units, write protection, filter,
    // range points, damping, alarm and saturation levels, cable entry, execution) call the edit
    // handler when the value changed.
    // At most 8 characters, up to the first zero; the rest of the tag is zero-filled.
    void SetTag(std::u16string_view tag);
    void SetDate(std::uint8_t day, std::uint8_t month, std::uint8_t year);
    void SetSensorType(std::int32_t code);
    void SetSensorConnection(std::int32_t code);
    void SetAlarmType(std::int32_t code);
    void SetRangeUnits(std::int32_t code);
    void SetUpperRange(float value);
    void SetLowerRange(float value);
    void SetDamping(float value);
    void SetWriteProtect(std::int32_t code);
    void SetLimitUnits(std::int32_t code);
    void SetUpperSensorLimit(float value);
    void SetLowerSensorLimit(float value);
    void SetFilter(std::int32_t code);
    void SetFinalAssembly(std::int32_t value);
    void SetHighAlarm(float value);
    void SetLowAlarm(float value);
    void SetHighSaturation(float value);
    void SetLowSaturation(float value);
    void SetDeviceTempUnits(std::int32_t code);
    void SetDeviceTemp(float value);
    void SetMeasuredUnits(std::int32_t code);
    void SetMeasuredValue(float value);
    void SetLoopCurrent(float value);
    void SetSensorFault(std::int32_t value);
    void SetDeviceFault(std::int32_t value);
    void SetArmature(std::uint8_t letter, std::uint8_t number);
    void SetHead(std::int32_t code);
    void SetCableEntry(std::int32_t code);
    void SetExecution(std::int32_t code);
    void SetMountingLength(std::int32_t millimetres);
    void SetAssemblyDate(std::uint8_t day, std::uint8_t month, std::uint8_t year);
    void SetThermometerSerial(std::int32_t serial);
    void SetManufacturerId(std::int32_t id);
    void SetDeviceType(std::int32_t type);
    void SetDeviceId(std::int32_t id);
    void SetUniversalRev(std::uint8_t rev);
    void SetDeviceRev(std::uint8_t rev);
    void SetSoftwareRev(std::uint8_t rev);
    void SetHardwareRev(std::uint8_t revAndSignalling);
    void SetFixedCurrent(float milliamperes);
    void SetLoop4mAMeasured(float milliamperes);
    void SetLoop20mAMeasured(float milliamperes);
    void SetCalUnits(std::int32_t code);
    void SetCalMode(std::int32_t code);
    void SetUpperCalLimit(float value);
    void SetLowerCalLimit(float value);
    void SetTrimLower(float value);
    void SetTrimUpper(float value);
    void SetCalPoints(std::int32_t points);
    void SetProgress(std::int32_t percent);

  protected:
    // Stores a tag (at most 8 characters, up to the first zero, zero-filled) without flags or marking.
    void StoreTag(std::u16string_view tag);
    void NotifyEdited() const {
        if (m_onEdited.call) m_onEdited.call();
    }

    TagUnits m_tag{};
    std::uint8_t m_dateDay = 0, m_dateMonth = 0, m_dateYear = 0;
    std::int32_t m_sensorType = kSensorNone;
    std::int32_t m_sensorConnection = kSensorNone;
    std::int32_t m_alarmType = kCodeNotSet;
    std::int32_t m_rangeUnits = kUnitsNotSet;
    float m_upperRange = NotANumber;
    float m_lowerRange = NotANumber;
    float m_damping = NotANumber;
    std::int32_t m_writeProtect = kCodeNotSet;
    std::int32_t m_limitUnits = kUnitsNotSet;
    float m_upperSensorLimit = NotANumber;
    float m_lowerSensorLimit = NotANumber;
    std::int32_t m_filter = kCodeNotSet;
    std::int32_t m_finalAssembly = 0;
    float m_highAlarm = NotANumber, m_lowAlarm = NotANumber;
    float m_highSaturation = NotANumber, m_lowSaturation = NotANumber;
    std::int32_t m_deviceTempUnits = kUnitsNotSet;
    float m_deviceTemp = NotANumber;
    std::int32_t m_measuredUnits = kUnitsNotSet;
    float m_measuredValue = NotANumber;
    float m_loopCurrent = NotANumber;
    std::int32_t m_sensorFault = 0, m_deviceFault = 0;
    std::uint8_t m_armatureLetter = 1, m_armatureNumber = 1;
    std::int32_t m_head = 3;
    std::int32_t m_cableEntry = 0;
    std::int32_t m_execution = 1;
    std::int32_t m_mountingLength = 0;
    std::uint8_t m_assemblyDay = 1, m_assemblyMonth = 1, m_assemblyYear = 0;
    std::int32_t m_thermometerSerial = 0;
    std::int32_t m_manufacturerId = 0, m_deviceType = 0, m_deviceId = 0;
    std::uint8_t m_universalRev = 0, m_deviceRev = 0, m_softwareRev = 0, m_hardwareRev = 0;
    float m_fixedCurrent = NotANumber;
    float m_loop4mAMeasured = NotANumber, m_loop20mAMeasured = NotANumber;
    std::int32_t m_calUnits = kUnitsCelsius;
    std::int32_t m_calMode = kCodeNotSet;
    float m_upperCalLimit = NotANumber, m_lowerCalLimit = NotANumber;
    float m_trimLower = NotANumber, m_trimUpper = NotANumber;
    std::int32_t m_calPoints = 0;
    std::int32_t m_progress = 0;

    FieldError m_fieldError;

  private:
    template <class T> void Store(T& field, T value, Field flag);
    template <class T> void StoreEdited(T& field, T value, Field flag);

    // Every field once, with its name: the one list the comparison walks.
    static constexpr auto FieldList();

    // Not copied with the model: a snapshot must not report edits to the document.
    struct EditHandler {
        EditHandler() = default;
        EditHandler(const EditHandler&) {}
        EditHandler& operator=(const EditHandler&) { return *this; }
        std::function<void()> call;
    };
    EditHandler m_onEdited;
};
