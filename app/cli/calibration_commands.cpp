// fixed-current, loop-trim, sensor-trim, calibration-reset: the calibration page's procedures, with
// the values the user enters there given as arguments, or, for the meter's readings of the loop
// calibration, asked for when the procedure needs them.
#include "cli.h"
#include "meter_readings.h"
#include "report.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <cerrno>
#include <memory>
#include <system_error>

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

// One point of the loop calibration: its texts and the range the page expects a reading in.
struct LoopPoint {
    bool zero; // the 4 mA point (command 45); otherwise 20 mA (46)
    std::string_view name;
    int enterText, missingText, confirmText;
    float low, high;
    int tooLowText, tooHighText;
};

constexpr LoopPoint k4mA{
    .zero = true,
    .name = "4 мА",
    .enterText = str::kEnter4mAValue,
    .missingText = str::kNo4mAValue,
    .confirmText = str::kLoop4mAConfirm,
    .low = 3.8f,
    .high = 4.2f,
    .tooLowText = str::k4mAValueTooLow,
    .tooHighText = str::k4mAValueTooHigh,
};
constexpr LoopPoint k20mA{
    .zero = false,
    .name = "20 мА",
    .enterText = str::kEnter20mAValue,
    .missingText = str::kNo20mAValue,
    .confirmText = str::kLoop20mAConfirm,
    .low = 19.5f,
    .high = 20.5f,
    .tooLowText = str::k20mAValueTooLow,
    .tooHighText = str::k20mAValueTooHigh,
};

// The loop calibration gives up: fixed current left quietly (when `leave`), message 1311.
int AbortLoop(Context& c, bool leave) {
    if (leave) c.doc.SetFixedCurrentMode(false, false);
    ShowString(c.ui, str::kLoopCalibrationAborted, MessageIcon::Information);
    return kExitFailure;
}

// One step of the loop calibration with the output set to `p`: a reading of the meter, the trim,
// the user's confirmation; repeated with a new reading after a refused value the user wants to enter
// again, or when the meter disagrees. Returns true when the point is trimmed and confirmed;
// otherwise the loop has been aborted.
bool TrimLoopPoint(Context& c, MeterReadings& readings, const LoopPoint& p) {
    for (;;) {
        ShowString(c.ui, p.enterText, MessageIcon::Information);
        const std::optional<float> measured = readings.Next(p.name, p.missingText);
        if (!measured) {
            AbortLoop(c, true);
            return false;
        }
        // The page's checks when the edit is left: warnings only, the value is used.
        if (*measured > p.high) ShowString(c.ui, p.tooHighText, MessageIcon::Warning);
        if (*measured < p.low) ShowString(c.ui, p.tooLowText, MessageIcon::Warning);
        if (p.zero)
            c.transmitter().SetLoop4mAMeasured(*measured);
        else
            c.transmitter().SetLoop20mAMeasured(*measured);
        const LoopStepResult r = p.zero ? c.doc.CalibrateLoop4mA() : c.doc.CalibrateLoop20mA();
        if (r == LoopStepResult::Abort) {
            AbortLoop(c, false); // the step has left fixed-current mode itself where it had to
            return false;
        }
        if (r == LoopStepResult::Done) {
            const UserAnswer a =
                AskString(c.ui, p.confirmText, MessageButtons::YesNoCancel, MessageIcon::Question);
            if (a == UserAnswer::Yes) return true;
            if (a == UserAnswer::Cancel) {
                AbortLoop(c, true);
                return false;
            }
        }
        // Again, or "Нет": a new reading of the meter.
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

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

int LoopTrim(Context& c) {
    std::optional<std::string> file;
    for (size_t i = 0; i < c.args.size(); ++i) {
        if (c.args[i] == "--readings" && i + 1 < c.args.size() && !c.args[i + 1].empty() && !file)
            file = std::string(c.args[++i]);
        else
            return c.UsageError("loop-trim asks for the meter's readings when it needs them: they are typed "
                                "at the terminal, or read from standard input or --readings FILE");
    }
    std::unique_ptr<std::FILE, FileCloser> owned;
    if (file) {
        owned.reset(std::fopen(file->c_str(), "r"));
        if (!owned) {
            c.ui.ShowMessage(kOwnQuestion,
                             "не удалось открыть файл показаний\n" + *file + ": " +
                                 std::system_category().message(errno),
                             MessageIcon::Stop);
            return kExitFailure;
        }
    }
    MeterReadings readings(file ? owned.get() : c.io.in, c.io.err, !file && c.io.interactive,
                           file ? *file : std::string("стандартный ввод"), c.ui);

    if (AskString(c.ui, str::kConnectMultimeter, MessageButtons::OkCancel, MessageIcon::Question) !=
        UserAnswer::Ok)
        return kExitFailure;
    if (!c.doc.StartLoopCalibration()) return kExitFailure;
    if (!TrimLoopPoint(c, readings, k4mA)) return kExitFailure;

    c.transmitter().SetFixedCurrent(20.0f);
    if (!c.doc.SetFixedCurrentMode(true, false)) return AbortLoop(c, true);
    if (!TrimLoopPoint(c, readings, k20mA)) return kExitFailure;
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
