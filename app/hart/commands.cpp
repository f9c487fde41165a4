#include "hart/commands.h"

#include "hart/strings.h"

#include <initializer_list>

namespace zelhart::hart {
namespace {

constexpr FieldType B = FieldType::Byte;
constexpr FieldType F = FieldType::Float;
constexpr FieldType A8 = FieldType::Packed8;
constexpr FieldType A16 = FieldType::Packed16;
constexpr FieldType U24 = FieldType::UInt24;

constexpr CommandLayout L(uint8_t command, std::initializer_list<FieldType> fields = {}) {
    CommandLayout layout;
    layout.command = command;
    for (FieldType t : fields)
        layout.fieldTypes[layout.fieldCount++] = t;
    return layout;
}

constexpr CommandLayout kIdentity = L(249, {B, B, B, B, B, B, B, B, B, U24});

// Requests, in CommandIndex order.
constexpr CommandLayout kRequests[kCommandCount] = {
    L(0),
    L(3),
    L(13),
    L(14),
    L(15),
    L(16),
    L(18, {A8, A16, B, B, B}), // tag, descriptor, day, month, year - 1900
    L(33, {B, B, B, B}),       // four device variable codes
    L(34, {F}),                // damping, s
    L(35, {B, F, F}),          // units, upper range value (20 mA), lower range value (4 mA)
    L(40, {F}),                // current, mA (0 leaves fixed-current mode)
    L(42),
    L(44, {B}), // units
    L(45, {F}), // measured current, mA
    L(46, {F}), // measured current, mA
    L(48),
    L(130, {B, F}),                // calibration units, upper point
    L(131, {B, F}),                // calibration units, lower point
    L(139, {B, B, B, B, B, B, B}), // operation, 0, parameter, value bytes 1-3, 0
    L(140, {B}),                   // sensor number
    L(141, {B, B, B}),             // sensor number, sensor type, connection
    L(142, {B, B}),                // 0, calibration units
    L(145, {B, B}),                // 0, calibration mode
    L(150),
    L(151, {B}),          // filter code
    L(155, {F, F, F, F}), // high alarm, low alarm, high saturation, low saturation
    L(162, {B}),          // alarm selection code
    L(189),
    L(195, {U24, B}), // 0, write-protect code
    L(249),
};

// Responses, in CommandIndex order.
constexpr CommandLayout kResponses[kCommandCount] = {
    L(0, {B, B, B, B, B, B, B, B, B, U24}),
    L(3, {F, B, F, B, F, B, F, B, F}), // loop current; units and value of PV, SV, TV, QV
    L(13, {A8, A16, B, B, B}),
    L(14, {U24, B, F, F, F}),        // serial number, limit units, upper limit, lower limit, min span
    L(15, {B, B, B, F, F, F, B, B}), // alarm, transfer function, range units, upper, lower, damping,
                                     // write protection, private-label distributor
    L(16, {U24}),
    L(18, {A8, A16, B, B, B}),
    L(33, {B, B, F, B, B, F, B, B, F, B, B, F}), // four times code, units, value
    L(34, {F}),
    L(35, {B, F, F}),
    L(40, {F}),
    L(42),
    L(44, {B}),
    L(45, {F}),
    L(46, {F}),
    L(48, {B, B, B, B, B}),
    L(130, {B, F}),
    L(131, {B, F}),
    L(139, {B, B, B, B, B, B, B}),
    L(140, {B, B, B}), // sensor number, sensor type, connection
    L(141, {B, B, B}),
    L(142, {B, B, B, F, F, F, F}), // -, units, mode, upper and lower limit, upper and lower trim point
    L(145, {B, B}),
    L(150, {B}),
    L(151, {B}),
    L(155, {F, F, F, F}),
    L(162, {B}),
    L(189, {F, F, F, F}),
    L(195, {U24, B}),
    kIdentity,
};

constexpr bool TablesAgree() {
    for (size_t i = 0; i < kCommandCount; ++i)
        if (kRequests[i].command != kResponses[i].command) return false;
    return true;
}
static_assert(TablesAgree(), "request and response of one index carry the same command");

// The message of a code that depends on the command; nothing when no row names the command.
std::optional<int> CommandSpecificMessage(uint8_t cmd, int code) {
    auto in = [cmd](std::initializer_list<int> cmds) {
        for (int c : cmds)
            if (c == cmd) return true;
        return false;
    };
    switch (code) {
    case 9:
        if (cmd == 35) return str::kLowerRangeTooHigh;
        if (in({45, 46})) return str::kLoopCurrentModeOrValue;
        if (in({130, 131})) return str::kProcessTooHigh;
        return str::kInvalidSensorNumber;
    case 10:
        if (cmd == 35) return str::kLowerRangeTooLow;
        if (in({130, 131})) return str::kProcessTooLow;
        if (cmd == 155) return str::kInvalidHighAlarm;
        break;
    case 11:
        if (cmd == 35) return str::kUpperRangeTooHigh;
        if (in({40, 45, 46})) return str::kLoopCurrentNotActive;
        if (cmd == 141) return str::kInvalidSensorType;
        if (cmd == 155) return str::kInvalidHighSaturation;
        break;
    case 12:
        if (cmd == 35) return str::kUpperRangeTooLow;
        if (in({130, 131, 142})) return str::kInvalidCalibrationUnits;
        if (cmd == 141) return str::kInvalidConnectionCode;
        if (cmd == 145) return str::kInvalidCalibrationMode;
        if (cmd == 155) return str::kInvalidLowAlarm;
        break;
    case 13:
        if (cmd == 35) return str::kRangeOutOfLimits;
        if (in({130, 131})) return str::kComputationError;
        if (cmd == 155) return str::kInvalidLowSaturation;
        break;
    }
    return str::kUndefined;
}

} // namespace

size_t CommandLayout::DataSize() const {
    size_t n = 0;
    for (FieldType t : fields())
        n += FieldSize(t);
    return n;
}

const CommandLayout& RequestLayout(CommandIndex index) {
    return kRequests[size_t(index) % kCommandCount];
}
const CommandLayout& ResponseLayout(CommandIndex index) {
    return kResponses[size_t(index) % kCommandCount];
}

bool UsesShortFrame(uint8_t command) {
    return command == 0 || command == 249;
}

std::optional<int> ResponseCodeMessage(uint8_t cmd, int code) {
    const bool loopTrim = cmd == 45 || cmd == 46;
    if (code == kResponseSuccess) return std::nullopt;
    if (code == kResponseNoAnswer) return str::kSensorNotFound;
    if (code & 0x80) return str::kConnectionDamaged;
    switch (code) {
    case 2:
        return str::kInvalidSelection;
    case 3:
        return loopTrim ? std::nullopt : std::optional<int>(str::kParameterTooLarge);
    case 4:
        return loopTrim ? std::nullopt : std::optional<int>(str::kParameterTooSmall);
    case 5:
        return str::kTooManyDataBytes;
    case 7:
        return str::kWriteProtected;
    case 8:
        if (cmd == 34) return str::kDampingRounded;
        if (cmd == 141) return std::nullopt;
        return str::kUpdateFailed;
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
        return CommandSpecificMessage(cmd, code);
    case 14:
        return str::kSpanTooSmall;
    case 16:
        return str::kAccessRestricted;
    case 32:
        return str::kDeviceBusy;
    case 64:
        return str::kCommandNotImplemented;
    default:
        return str::kUndefined;
    }
}

void ReportResponseCode(IUserInterface& ui, CommandIndex index, int responseCode) {
    if (auto id = ResponseCodeMessage(RequestLayout(index).command, responseCode))
        ShowString(ui, *id, MessageIcon::Stop);
}

} // namespace zelhart::hart
