// The calibration page's procedures without widgets: the sensor calibration and the loop
// calibration state machines and the fixed-current check. Events go in (a button pressed, the
// result of what the machine last asked for); actions come out (messages, questions, dialogs,
// document operations to run on the link, edits to clear, update hints). The page carries the
// actions out in order and answers the one that waits for a result with Reply.
//
// The machine writes the calibration work values of the model itself (idle states clear them, the
// loop's 20 mA step fixes the current at 20 mA); the operations run on the link thread and are the
// document's (SetFixedCurrentMode, CalibrateLoop4mA, TrimSensor, ...), which show their own messages.
//
// The loop output is never left fixed without a word: whenever the loop calibration returns to idle
// (done, "Отмена", a refused or failed step, a transmitter that stopped answering) while the output
// may still be fixed, the machine releases it first (ReleaseOutput, which says so plainly when it
// cannot). The measured current is used when "Установить" is pressed, also outside the point's
// window (said first); an empty one is said and nothing is sent.
#pragma once

#include "hart/transmitter_model.h"
#include "hart/user_interface.h"

#include <functional>
#include <optional>
#include <vector>

namespace zelhart::ui {

enum class CalButton {
    SensorStart, // "Начать калибровку" of the sensor
    TrimLower,   // "Калибровать НП"
    TrimUpper,   // "Калибровать ВП"
    ResetTrim,   // "Сброс калибровки"
    LoopStart,   // "Начать калибровку" of the loop
    Set4mA,      // "Установить" of the 4 mA point
    Set20mA,     // "Установить" of the 20 mA point
    FixedSet,    // "Установить" of the fixed current
    FixedReset,  // "Сброс" of the fixed current
};

// The document operations, each answering an int: 1 success, 0 failure; the two loop steps answer
// their LoopStepResult (0 done, 1 abort, 2 enter again).
enum class CalOp {
    EnterFixedVerbose, // SetFixedCurrentMode(enter, verbose)
    LeaveFixedVerbose, // SetFixedCurrentMode(leave, verbose)
    EnterFixedQuiet,   // SetFixedCurrentMode(enter, quiet)
    LeaveFixedQuiet,   // SetFixedCurrentMode(leave, quiet)
    StartLoop,         // StartLoopCalibration
    Loop4mA,           // CalibrateLoop4mA
    Loop20mA,          // CalibrateLoop20mA
    FinishLoop,        // FinishLoopCalibration
    LoadSensorLimits,  // LoadSensorLimits
    TrimLower,         // TrimSensor(lower)
    TrimUpper,         // TrimSensor(upper)
    ResetTrim,         // ResetSensorTrim
    ReleaseOutput,     // ReleaseFixedOutput (output_release.h): 1 released, 0 the user gave up
};
// What an operation answers when it could not be run at all: a failure, for the loop steps an abort.
int NotRunResult(CalOp op);

enum class CalDialog { Settings, Measurement };
enum class CalEdit { Lower, Upper, Loop4mA, Loop20mA, FixedCurrent };

struct CalAction {
    enum class Kind {
        Message,     // plain message box: id, icon
        Ask,         // AskUser: id, buttons; Reply(int(UserAnswer))
        Run,         // run op on the link; Reply(its result)
        Dialog,      // show dialog modally; Reply(1 continue / 0 cancel, the settings' points choice)
        ClearEdit,   // clear edit (its model value is NaN already)
        SelectUnits, // select calibration units entry `value` (code 32 + value)
        Hint,        // update hint `value` (5: back to idle, 6: left idle)
    };
    Kind kind;
    int value = 0; // string id, hint, units entry
    hart::MessageIcon icon = hart::MessageIcon::None;
    hart::MessageButtons buttons = hart::MessageButtons::Ok;
    CalOp op = CalOp::EnterFixedVerbose;
    CalDialog dialog = CalDialog::Settings;
    CalEdit edit = CalEdit::Lower;

    bool Waits() const { return kind == Kind::Ask || kind == Kind::Run || kind == Kind::Dialog; }
};

// Which of the page's action controls are enabled.
struct CalEnables {
    bool sensorStart, resetTrim, units, lowerEdit, trimLower, upperEdit, trimUpper;
    bool loopStart, edit4mA, set4mA, edit20mA, set20mA;
    bool fixedEdit, fixedSet, fixedReset;
};

class CalProcedures {
  public:
    // `outputFixed`: whether the loop output may still be fixed by the program (asked after each
    // operation has returned).
    explicit CalProcedures(CTransmitterModel& model, std::function<bool()> outputFixed = {})
        : m_(model), outputFixed_(std::move(outputFixed)) {}

    // Initialisation: both machines idle (hint 5), the calibration units "°C".
    std::vector<CalAction> Start();
    // A button. Ignored (nothing happens) while an action waits for its reply.
    std::vector<CalAction> Press(CalButton button);
    // The result of the waiting action (see CalAction::Kind); `choice`: the settings dialog's points.
    std::vector<CalAction> Reply(int result, int choice = 0);

    bool Waiting() const { return pending_ != Pending::None; }
    int SensorState() const { return sensorState_; }
    int LoopState() const { return loopState_; }
    // A fixed current set by the check ("Установить"), not reset since: the loop cannot start.
    bool FixedCurrentSet() const { return fixedSet_; }
    // `viewEnabled`: the view's enable (off while a device operation runs).
    CalEnables Enables(bool viewEnabled) const;

  private:
    enum class Pending {
        None,
        FixedSet,
        FixedReset,
        LoopConfirmStart,
        LoopStarted,
        Loop4mADone,
        Loop4mAConfirm,
        Loop20mAEntered,
        LoopLeftAfter4mA,
        LoopLeftAfter20mA,
        Loop20mADone,
        Loop20mAConfirm,
        LoopFinished,
        LoopReleased,
        LimitsLoaded,
        SettingsClosed,
        LowerMeasurementClosed,
        TrimLowerDone,
        TrimLowerRetry,
        UpperMeasurementClosed,
        TrimUpperDone,
        TrimUpperRetry,
        ResetDone,
    };

    void SetSensorState(int state);
    void SetLoopState(int state);
    void Message(int id, hart::MessageIcon icon);
    void Ask(int id, hart::MessageButtons buttons, Pending next);
    void Run(CalOp op, Pending next);
    void Show(CalDialog dialog, Pending next);
    void Clear(CalEdit edit);
    void LoopAborted(CalEdit edit); // loop idle, 1311, the edit cleared
    // The loop calibration ends (`aborted`: the edit to clear after 1311): the output released
    // first when it may still be fixed.
    void EndLoop(std::optional<CalEdit> aborted);
    void LoopEnded(std::optional<CalEdit> aborted);
    bool OutputFixed() const { return outputFixed_ && outputFixed_(); }
    void PressSetPoint(bool twenty);

    CTransmitterModel& m_;
    std::function<bool()> outputFixed_;
    std::optional<CalEdit> endingAborted_; // what LoopReleased finishes
    std::vector<CalAction> out_;
    Pending pending_ = Pending::None;
    int sensorState_ = 0;
    int loopState_ = 0;
    bool fixedSet_ = false;
};

} // namespace zelhart::ui
