// The HART commands of the Korvel-4810 that the program sends, their data layouts, and the texts of
// the transmitter's response codes.
#pragma once

#include "hart/fields.h"
#include "hart/user_interface.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zelhart::hart {

// Index into the command tables; the numeric order is the order of the tables.
enum class CommandIndex : uint8_t {
    ReadUniqueIdentifier = 0,    // 0
    ReadDynamicVariables = 1,    // 3: loop current and the four dynamic variables
    ReadTagDescriptorDate = 2,   // 13
    ReadPvTransducerInfo = 3,    // 14: sensor serial number, sensor limits, minimum span
    ReadOutputInfo = 4,          // 15: alarm type, range, damping, write protection
    ReadFinalAssemblyNumber = 5, // 16
    WriteTagDescriptorDate = 6,  // 18
    ReadDeviceVariables = 7,     // 33
    WriteDamping = 8,            // 34
    WriteRangeValues = 9,        // 35
    SetFixedCurrent = 10,        // 40: enter (current) or leave (0) fixed-current mode
    ResetDevice = 11,            // 42
    WritePvUnits = 12,           // 44
    TrimLoopCurrentZero = 13,    // 45
    TrimLoopCurrentGain = 14,    // 46
    ReadAdditionalStatus = 15,   // 48
    TrimSensorUpper = 16,        // 130
    TrimSensorLower = 17,        // 131
    ThermometerParameter = 18,   // 139: read or write one thermometer construction parameter
    ReadSensorConfig = 19,       // 140
    WriteSensorConfig = 20,      // 141
    ReadCalibrationInfo = 21,    // 142
    WriteCalibrationMode = 22,   // 145
    ReadMainsFilter = 23,        // 150
    WriteMainsFilter = 24,       // 151
    WriteAlarmLevels = 25,       // 155
    WriteAlarmType = 26,         // 162
    ReadAlarmLevels = 27,        // 189
    WriteWriteProtection = 28,   // 195
    IdentifyDevice = 29,         // 249: identify at polling address 0
};

inline constexpr size_t kCommandCount = 30;
inline constexpr size_t kMaxLayoutFields = 26;

// The data of one command in one direction: command number and ordered field types.
struct CommandLayout {
    uint8_t command = 0;
    uint8_t fieldCount = 0;
    std::array<FieldType, kMaxLayoutFields> fieldTypes{};

    std::span<const FieldType> fields() const { return {fieldTypes.data(), fieldCount}; }
    // Bytes of data: the sum of the field sizes.
    size_t DataSize() const;
};

const CommandLayout& RequestLayout(CommandIndex index);
const CommandLayout& ResponseLayout(CommandIndex index);

// Commands 0 and 249 go to polling address 0 in a short frame; every other one in a long frame.
bool UsesShortFrame(uint8_t command);

// The identity check of the Korvel-4810 (answer to command 249).
inline constexpr uint8_t kKorvelManufacturer = 153; // 0x99
inline constexpr uint8_t kKorvelDeviceType = 252;   // 0xFC

// Response codes with a meaning of their own to the engine.
inline constexpr int kResponseSuccess = 0;
inline constexpr int kResponseWarningUpdate = 8;
inline constexpr int kResponseBusy = 32;
inline constexpr int kResponseCheckByteError = 192;
inline constexpr int kResponseNoAnswer = 255;

// The string id of the message for `responseCode` (a result of a transaction) to `command`, or nothing
// when that code is not reported (0; 3 and 4 to the loop trims; 8 to command 141).
std::optional<int> ResponseCodeMessage(uint8_t command, int responseCode);

// Shows that message (stop icon, OK button) when there is one.
void ReportResponseCode(IUserInterface& ui, CommandIndex index, int responseCode);

} // namespace zelhart::hart
