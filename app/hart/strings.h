// The program's string table: every text shown to the user, keyed by its string id.
//
// One table for the whole program. Texts are UTF-8 and exactly as the user sees them. Ids below 20000
// are the program's resource ids; the range 20000-20099 holds the response-code texts that the
// resources show without an id of their own.
#pragma once

#include <span>
#include <string_view>

namespace zelhart::hart {

namespace str {
// Link and transport.
inline constexpr int kSensorNotFound = 906;      // "Датчик Корвел-4810 не найден"
inline constexpr int kCannotClosePort = 907;     // "Нельзя закрыть Com порт"
inline constexpr int kCannotOpenPort = 908;      // "Нельзя открыть Com порт"
inline constexpr int kCannotConfigurePort = 909; // "Нельзя сконфигурировать Com порт"

// Response codes of the transmitter.
inline constexpr int kWriteProtected = 1004;
inline constexpr int kDampingRounded = 1005;
inline constexpr int kConnectionDamaged = 20000;
inline constexpr int kInvalidSelection = 20001;
inline constexpr int kParameterTooLarge = 20002;
inline constexpr int kParameterTooSmall = 20003;
inline constexpr int kTooManyDataBytes = 20004;
inline constexpr int kUpdateFailed = 20005;
inline constexpr int kLowerRangeTooHigh = 20006;
inline constexpr int kLoopCurrentModeOrValue = 20007;
inline constexpr int kProcessTooHigh = 20008;
inline constexpr int kInvalidSensorNumber = 20009;
inline constexpr int kLowerRangeTooLow = 20010;
inline constexpr int kProcessTooLow = 20011;
inline constexpr int kInvalidHighAlarm = 20012;
inline constexpr int kUpperRangeTooHigh = 20013;
inline constexpr int kLoopCurrentNotActive = 20014;
inline constexpr int kInvalidSensorType = 20015;
inline constexpr int kInvalidHighSaturation = 20016;
inline constexpr int kUpperRangeTooLow = 20017;
inline constexpr int kInvalidCalibrationUnits = 20018;
inline constexpr int kInvalidConnectionCode = 20019;
inline constexpr int kInvalidCalibrationMode = 20020;
inline constexpr int kInvalidLowAlarm = 20021;
inline constexpr int kRangeOutOfLimits = 20022;
inline constexpr int kComputationError = 20023;
inline constexpr int kInvalidLowSaturation = 20024;
inline constexpr int kSpanTooSmall = 20025;
inline constexpr int kAccessRestricted = 20026;
inline constexpr int kDeviceBusy = 20027;
inline constexpr int kCommandNotImplemented = 20028;
inline constexpr int kUndefined = 20029;
} // namespace str

// The text of string `id`; empty when the table has no such string.
std::string_view LoadString(int id);

struct StringEntry {
    int id;
    std::string_view text;
};

// The whole table, ordered by id.
std::span<const StringEntry> StringTable();

} // namespace zelhart::hart
