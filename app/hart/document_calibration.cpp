// CLrxDoc: the calibration procedures of the transmitter - fixed current, loop (4-20 mA) trim and
// sensor trim - with their checks and messages.
#include "hart/document.h"

#include "hart/strings.h"

#include <cstdio>
#include <string>

namespace zelhart::hart {
namespace {

constexpr int kFactoryMode = 0;
constexpr int kUserMode = 1;

// Sensor type codes by kind.
bool IsResistanceThermometer(int code) {
    return code >= 1 && code <= 15;
}
bool IsThermocouple(int code) {
    return code >= 129 && code <= 143;
}
constexpr int kResistanceInput = 0;
constexpr int kMillivoltInput = 128;

// Whether calibration units q suit sensor type d whose range is in units c.
bool CalibrationUnitsAllowed(int d, int c, int q) {
    if (d == kResistanceInput && q != kUnitsOhm) return false;
    if (d == kMillivoltInput && q != kUnitsMillivolt) return false;
    if (IsResistanceThermometer(d) && q == kUnitsMillivolt) return false;
    if (IsThermocouple(d) && q == kUnitsOhm) return false;
    if (IsResistanceThermometer(d) && c == kUnitsOhm && q != kUnitsOhm) return false;
    if (IsThermocouple(d) && c == kUnitsMillivolt && q != kUnitsMillivolt) return false;
    return true;
}

// The status the transmitter reports while a sensor trim has not taken: b3 bit 3 and b4 bit 2.
bool TrimNotTaken(const AdditionalStatusReading& s) {
    return (s.bytes[2] & 0x08) != 0 && (s.bytes[3] & 0x04) != 0;
}

// A status that forbids any trim: b1, b2 and b5 non-zero, b3 bit 7, b4 bits 0, 3 and 4.
bool StatusForbidsTrim(const AdditionalStatusReading& s) {
    const auto& b = s.bytes;
    return b[0] != 0 && b[1] != 0 && b[4] != 0 && (b[2] & 0x80) != 0 && (b[3] & 0x19) == 0x19;
}

} // namespace

void CLrxDoc::ShowValueMessage(int stringId, float value, MessageIcon icon) {
    // The texts carry one "%2.2f"; the value is formatted in the user's numeric locale.
    std::string text(LoadString(stringId));
    char number[64];
    std::snprintf(number, sizeof number, "%2.2f", double(value));
    if (const size_t at = text.find("%2.2f"); at != std::string::npos) text.replace(at, 5, number);
    ui_.ShowMessage(stringId, text, icon);
}

int CLrxDoc::SetFixedCurrentMode(bool enter, bool verbose) {
    CTransmitter& t = m_transmitter;
    // Entering with no current would send nothing and yet report it as set.
    if (enter && IsNotSet(t.GetFixedCurrent())) {
        ShowString(ui_, str::kNoFixedCurrent, MessageIcon::Stop);
        return 0;
    }
    if (enter && verbose &&
        AskString(ui_, str::kLoopOutputWillChange, MessageButtons::OkCancel, MessageIcon::None) !=
            UserAnswer::Ok)
        return 0;
    if (!CheckWritable()) return 0;
    if (!enter) {
        if (!t.ExitFixedCurrent()) {
            ShowString(ui_, str::kFixedCurrentResetFailed, MessageIcon::Stop);
            return 0;
        }
        if (verbose) ShowString(ui_, str::kFixedCurrentLeft, MessageIcon::Information);
        return 1;
    }
    const AlarmLevelsReading levels = t.ReadAlarmLevels();
    if (IsNotSet(levels.high) && IsNotSet(levels.low)) {
        ShowString(ui_, str::kAlarmLevelsUnreadable, MessageIcon::Stop);
        return 0;
    }
    if (levels.low > t.GetFixedCurrent()) {
        ShowValueMessage(str::kFixedCurrentBelowLowAlarm, levels.low, MessageIcon::Stop);
        return 0;
    }
    if (t.GetFixedCurrent() > levels.high) {
        ShowValueMessage(str::kFixedCurrentAboveHighAlarm, levels.high, MessageIcon::Stop);
        return 0;
    }
    if (!t.SetFixedCurrent()) {
        ShowValueMessage(str::kFixedCurrentFailed, t.GetFixedCurrent(), MessageIcon::Stop);
        return 0;
    }
    if (verbose) ShowValueMessage(str::kFixedCurrentSet, t.GetFixedCurrent(), MessageIcon::Information);
    return 1;
}

int CLrxDoc::StartLoopCalibration() {
    m_transmitter.SetFixedCurrent(4.0f);
    return SetFixedCurrentMode(true, false);
}

LoopStepResult CLrxDoc::CalibrateLoopPoint(LoopTrimResult (CTransmitter::*trim)(), int failureText) {
    if (!CheckWritable()) return LoopStepResult::Abort;
    const LoopTrimResult result = (m_transmitter.*trim)();
    if (result.done) return LoopStepResult::Done;
    if (result.responseCode == 3 || result.responseCode == 4) { // value too large or too small
        if (AskString(ui_, str::kLoopTrimRepeat, MessageButtons::YesNo, MessageIcon::Question) ==
            UserAnswer::Yes)
            return LoopStepResult::Again;
        SetFixedCurrentMode(false, false);
        return LoopStepResult::Abort;
    }
    ShowString(ui_, failureText, MessageIcon::Stop);
    SetFixedCurrentMode(false, false);
    return LoopStepResult::Abort;
}

LoopStepResult CLrxDoc::CalibrateLoop4mA() {
    return CalibrateLoopPoint(&CTransmitter::TrimLoopZero, str::kLoop4mAFailed);
}

LoopStepResult CLrxDoc::CalibrateLoop20mA() {
    return CalibrateLoopPoint(&CTransmitter::TrimLoopGain, str::kLoop20mAFailed);
}

int CLrxDoc::FinishLoopCalibration() {
    if (!SetFixedCurrentMode(false, false)) return 0;
    ShowString(ui_, str::kLoopCalibrationDone, MessageIcon::Information);
    return 1;
}

int CLrxDoc::LoadSensorLimits() {
    if (!CheckWritable()) return 0;
    const SensorLimitsReading limits = m_transmitter.ReadSensorLimits();
    if (!limits.ok || limits.units == kUnitsNotSet || IsNotSet(limits.upper) || IsNotSet(limits.lower)) {
        ShowString(ui_, str::kSensorLimitsUnreadable, MessageIcon::Stop);
        return 0;
    }
    m_transmitter.SetLimitUnits(limits.units);
    m_transmitter.SetUpperSensorLimit(limits.upper);
    m_transmitter.SetLowerSensorLimit(limits.lower);
    return 1;
}

int CLrxDoc::PrepareSensorTrim(int point) {
    CTransmitter& t = m_transmitter;
    auto fail = [this](int id) {
        ShowString(ui_, id, MessageIcon::Stop);
        return 0;
    };
    if (!CheckWritable()) return 0;
    const int q = t.GetCalUnits();
    if (q == kUnitsNotSet) return fail(str::kCalUnitsUnreadable);
    const int c = t.ReadRangeUnits();
    if (c == kUnitsNotSet) return fail(str::kRangeUnitsUnreadable);
    const int d = t.ReadSensorType();
    if (d == kSensorNone) return fail(str::kSensorTypeUnreadable);
    if (!CalibrationUnitsAllowed(d, c, q)) return fail(str::kCalUnitsNotAllowed);

    const bool upper = point == kUpperPoint;
    const float v = upper ? t.GetTrimUpper() : t.GetTrimLower();
    t.SetCalUnits(q);
    t.ReadCalibrationInfo(); // overwrites both trim points with the transmitter's
    if (IsNotSet(t.GetLowerCalLimit()) || IsNotSet(t.GetUpperCalLimit()) || t.GetCalMode() == kCodeNotSet)
        return fail(str::kCalParametersInvalid);
    if (IsNotSet(v) || v < t.GetLowerCalLimit() || v > t.GetUpperCalLimit())
        return fail(upper ? str::kUpperPointOutOfRange : str::kLowerPointOutOfRange);
    if (upper)
        t.SetTrimUpper(v);
    else
        t.SetTrimLower(v);

    const AdditionalStatusReading status = t.ReadAdditionalStatus();
    if (!status.ok) return fail(str::kStatusUnreadable);
    if (StatusForbidsTrim(status)) return fail(str::kStatusForbidsTrim);
    if (t.GetCalMode() == kUserMode) return 1;
    t.SetCalMode(kUserMode);
    if (!t.WriteCalibrationMode()) return fail(str::kUserModeFailed);
    return 1;
}

int CLrxDoc::TrimSensor(int point) {
    if (!PrepareSensorTrim(point)) return 0;
    const int sent = point == kUpperPoint ? m_transmitter.TrimSensorUpper() : m_transmitter.TrimSensorLower();
    if (!sent) return 0;
    progressWait_.Wait(ProgressWaitMode::Calibration);
    return CheckSensorTrim(point);
}

int CLrxDoc::CheckSensorTrim(int point) {
    const AdditionalStatusReading status = m_transmitter.ReadAdditionalStatus();
    if (!status.ok) {
        ShowString(ui_, str::kStatusUnreadable, MessageIcon::Stop);
        return 0;
    }
    if (TrimNotTaken(status)) {
        ShowString(ui_, str::kTrimPointTooFar, MessageIcon::Information);
        return 0;
    }
    ShowString(ui_, point == kUpperPoint ? str::kUpperTrimDone : str::kLowerTrimDone,
               MessageIcon::Information);
    return 1;
}

int CLrxDoc::ResetSensorTrim() {
    CTransmitter& t = m_transmitter;
    if (!CheckWritable()) return 0;
    t.SetCalMode(kFactoryMode);
    if (!t.WriteCalibrationMode()) {
        ShowString(ui_, str::kFactoryModeFailed, MessageIcon::Stop);
        return 0;
    }
    AdditionalStatusReading status = t.ReadAdditionalStatus();
    if (!status.ok) {
        ShowString(ui_, str::kStatusUnreadable, MessageIcon::Stop);
        return 0;
    }
    if (TrimNotTaken(status)) {
        if (!t.ResetDevice()) {
            ShowString(ui_, str::kResetFailed, MessageIcon::Stop);
            return 0;
        }
        progressWait_.Wait(ProgressWaitMode::Reset);
        status = t.ReadAdditionalStatus();
        if (!status.ok) {
            ShowString(ui_, str::kStatusUnreadable, MessageIcon::Stop);
            return 0;
        }
        if (TrimNotTaken(status)) {
            ShowString(ui_, str::kErrorsAfterReset, MessageIcon::Information);
            return 0;
        }
    }
    ShowString(ui_, str::kFactoryModeSet, MessageIcon::Information);
    return 1;
}

} // namespace zelhart::hart
