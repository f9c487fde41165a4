// fixed-current, loop-trim, sensor-trim, calibration-reset: the calibration page's procedures, with
// the values the user enters there given as arguments.
#include "cli.h"
#include "report.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

namespace zelhart::cli {
namespace {

using hart::AskString;
using hart::LoopStepResult;
using hart::MessageButtons;
using hart::MessageIcon;
using hart::ShowString;
using hart::UserAnswer;
namespace str = hart::str;

constexpr float kMaxCurrent = 25.0f; // mA; no loop carries more

// The measurement step between placing the sensor and trimming: the value the transmitter measures
// now, and whether to go on.
bool MeasureAndConfirm(Context& c) {
    const hart::MeasuredValueReading reading = c.transmitter().ReadMeasuredValue();
    std::string line = "Измеряемая величина: " + FormatNumber(reading.value, 2);
    if (IsSet(reading.value) && !UnitText(reading.units).empty())
        line += " " + std::string(UnitText(reading.units));
    c.ui.ShowMessage(kOwnQuestion, line, MessageIcon::Information);
    return c.ui.AskUser(
               kOwnQuestion,
               "ВНИМАНИЕ! Убедитесь, что температура преобразователя не изменяется в течение 30 секунд!",
               MessageButtons::OkCancel, MessageIcon::Warning) == UserAnswer::Ok;
}

// The page's checks of a measured loop current when its edit is left: warnings only, the value is used.
void CheckMeasured(Context& c, float value, float low, float high, int tooHigh, int tooLow) {
    if (value > high) ShowString(c.ui, tooHigh, MessageIcon::Warning);
    if (value < low) ShowString(c.ui, tooLow, MessageIcon::Warning);
}

// The loop calibration gives up: fixed current left quietly (when `leave`), message 1311.
int AbortLoop(Context& c, bool leave) {
    if (leave) c.doc.SetFixedCurrentMode(false, false);
    ShowString(c.ui, str::kLoopCalibrationAborted, MessageIcon::Information);
    return kExitFailure;
}

// One point of the loop calibration, repeated while the user wants to enter the value again.
// Returns true when the point is trimmed and confirmed; otherwise the loop has been aborted.
bool TrimLoopPoint(Context& c, bool zero, float measured) {
    const int enterText = zero ? str::kEnter4mAValue : str::kEnter20mAValue;
    for (;;) {
        if (zero)
            c.transmitter().SetLoop4mAMeasured(measured);
        else
            c.transmitter().SetLoop20mAMeasured(measured);
        const LoopStepResult r = zero ? c.doc.CalibrateLoop4mA() : c.doc.CalibrateLoop20mA();
        if (r == LoopStepResult::Abort) {
            AbortLoop(c, false); // the step has left fixed-current mode itself where it had to
            return false;
        }
        if (r == LoopStepResult::Done) {
            const UserAnswer a = AskString(c.ui, zero ? str::kLoop4mAConfirm : str::kLoop20mAConfirm,
                                           MessageButtons::YesNoCancel, MessageIcon::Question);
            if (a == UserAnswer::Yes) return true;
            if (a == UserAnswer::Cancel) {
                AbortLoop(c, true);
                return false;
            }
        }
        // Again, or "Нет": a new reading of the meter.
        const auto value = c.ui.AskNumber(hart::LoadString(enterText));
        if (!value) {
            AbortLoop(c, true);
            return false;
        }
        measured = *value;
    }
}

// One point of the sensor trim, repeated while the user wants to. A refused trim forgets the units
// and the point in the model; each attempt sets them again, as choosing them on the page would.
bool TrimSensorPoint(Context& c, int point, int units, float value) {
    for (;;) {
        c.transmitter().SetCalUnits(units);
        if (point == hart::kLowerPoint)
            c.transmitter().SetTrimLower(value);
        else
            c.transmitter().SetTrimUpper(value);
        if (c.doc.TrimSensor(point)) return true;
        if (AskString(c.ui, str::kTrimRepeat, MessageButtons::YesNo, MessageIcon::Question) !=
            UserAnswer::Yes)
            return false;
        // The value is kept unless the user enters another.
        if (const auto other = c.ui.AskNumber("Значение точки калибровки (Enter: прежнее)")) value = *other;
    }
}

// Said at the end of a command that leaves the loop output at a fixed current it did not mean to.
void WarnIfOutputFixed(Context& c) {
    const float fixed = c.transmitter().FixedOutputCurrent();
    if (!IsSet(fixed)) return;
    c.ui.ShowMessage(kOwnQuestion,
                     "токовый выход остаётся фиксированным: " + FormatNumber(fixed, 2) +
                         " мА; освободите его командой '4810cli fixed-current off'",
                     MessageIcon::Warning);
}

int LoopTrim(Context& c) {
    if (c.args.size() != 2) return c.UsageError("loop-trim takes the meter's readings at 4 mA and at 20 mA");
    const auto at4 = ParseFloat(c.args[0]);
    const auto at20 = ParseFloat(c.args[1]);
    if (!at4 || !at20 || *at4 <= 0 || *at20 <= 0 || *at4 > kMaxCurrent || *at20 > kMaxCurrent)
        return c.UsageError("loop-trim: the readings are currents in mA, e.g. 4.012 19.987");
    CheckMeasured(c, *at4, 3.8f, 4.2f, str::k4mAValueTooHigh, str::k4mAValueTooLow);
    CheckMeasured(c, *at20, 19.5f, 20.5f, str::k20mAValueTooHigh, str::k20mAValueTooLow);

    if (AskString(c.ui, str::kConnectMultimeter, MessageButtons::OkCancel, MessageIcon::Question) !=
        UserAnswer::Ok)
        return kExitFailure;
    if (!c.doc.StartLoopCalibration()) return kExitFailure;
    if (!TrimLoopPoint(c, true, *at4)) return kExitFailure;

    c.transmitter().SetFixedCurrent(20.0f);
    if (!c.doc.SetFixedCurrentMode(true, false)) return AbortLoop(c, true);
    if (!TrimLoopPoint(c, false, *at20)) return kExitFailure;
    return c.doc.FinishLoopCalibration() ? kExitOk : kExitFailure;
}

} // namespace

int RunFixedCurrent(Context& c) {
    if (c.args.size() != 1) return c.UsageError("fixed-current takes a current in mA or 'off'");
    if (c.args[0] == "off") return c.doc.SetFixedCurrentMode(false, true) ? kExitOk : kExitFailure;
    const auto current = ParseFloat(c.args[0]);
    if (!current || *current <= 0 || *current > kMaxCurrent)
        return c.UsageError("fixed-current: '" + std::string(c.args[0]) +
                            "' is no current from 0 to 25 mA (e.g. 4.5)");
    c.transmitter().SetFixedCurrent(*current);
    return c.doc.SetFixedCurrentMode(true, true) ? kExitOk : kExitFailure;
}

int RunLoopTrim(Context& c) {
    const int status = LoopTrim(c);
    if (status != kExitUsage) WarnIfOutputFixed(c);
    return status;
}

int RunSensorTrim(Context& c) {
    if (c.args.size() != 2 && c.args.size() != 3)
        return c.UsageError("sensor-trim takes the units, the lower point and optionally the upper point");
    const auto units = ParseUnits(c.args[0]);
    if (!units) return c.UsageError("sensor-trim: units are C, F, R, K, mV or Ohm");
    const auto lower = ParseFloat(c.args[1]);
    const auto upper = c.args.size() == 3 ? ParseFloat(c.args[2]) : std::optional<float>(NotANumber);
    if (!lower || !upper) return c.UsageError("sensor-trim: the points are numbers, e.g. -50 or 150.5");

    CTransmitterModel& m = c.transmitter();
    if (!c.doc.LoadSensorLimits()) return kExitFailure;
    // What the settings dialog shows: the transmitter's units and sensor limits.
    const std::string_view limitUnit = UnitText(m.GetLimitUnits());
    c.ui.ShowMessage(kOwnQuestion,
                     "Текущие настройки трансмиттера: " + FormatNumber(m.GetLowerSensorLimit(), 2) + " .. " +
                         FormatNumber(m.GetUpperSensorLimit(), 2) + " " + std::string(limitUnit),
                     MessageIcon::Information);
    m.SetCalUnits(*units);
    m.SetCalPoints(IsSet(*upper) ? 1 : 0);

    ShowString(c.ui, str::kPlaceAtLowerPoint, MessageIcon::Information);
    if (!MeasureAndConfirm(c)) return kExitFailure;
    if (!TrimSensorPoint(c, hart::kLowerPoint, *units, *lower)) return kExitFailure;
    if (m.GetCalPoints() == 0) return kExitOk;

    ShowString(c.ui, str::kPlaceAtUpperPoint, MessageIcon::Information);
    if (!MeasureAndConfirm(c)) return kExitFailure;
    return TrimSensorPoint(c, hart::kUpperPoint, *units, *upper) ? kExitOk : kExitFailure;
}

int RunCalibrationReset(Context& c) {
    if (!c.args.empty()) return c.UsageError("calibration-reset takes no arguments");
    return c.doc.ResetSensorTrim() ? kExitOk : kExitFailure;
}

} // namespace zelhart::cli
