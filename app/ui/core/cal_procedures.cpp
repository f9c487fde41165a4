#include "core/cal_procedures.h"

#include "core/page_input.h"

#include "hart/document.h"
#include "hart/strings.h"

namespace zelhart::ui {
namespace {

namespace str = hart::str;
using hart::MessageButtons;
using hart::MessageIcon;
using hart::UserAnswer;
using Kind = CalAction::Kind;

constexpr int kDone = int(hart::LoopStepResult::Done);
constexpr int kAgain = int(hart::LoopStepResult::Again);

} // namespace

int NotRunResult(CalOp op) {
    return op == CalOp::Loop4mA || op == CalOp::Loop20mA ? int(hart::LoopStepResult::Abort) : 0;
}

void CalProcedures::Message(int id, MessageIcon icon) {
    CalAction a{Kind::Message};
    a.value = id;
    a.icon = icon;
    out_.push_back(a);
}

void CalProcedures::Ask(int id, MessageButtons buttons, Pending next) {
    CalAction a{Kind::Ask};
    a.value = id;
    a.buttons = buttons;
    a.icon = MessageIcon::Question;
    out_.push_back(a);
    pending_ = next;
}

void CalProcedures::Run(CalOp op, Pending next) {
    CalAction a{Kind::Run};
    a.op = op;
    out_.push_back(a);
    pending_ = next;
}

void CalProcedures::Show(CalDialog dialog, Pending next) {
    CalAction a{Kind::Dialog};
    a.dialog = dialog;
    out_.push_back(a);
    pending_ = next;
}

void CalProcedures::Clear(CalEdit edit) {
    switch (edit) {
    case CalEdit::Lower:
        m_.SetTrimLower(NotANumber);
        break;
    case CalEdit::Upper:
        m_.SetTrimUpper(NotANumber);
        break;
    case CalEdit::Loop4mA:
        m_.SetLoop4mAMeasured(NotANumber);
        break;
    case CalEdit::Loop20mA:
        m_.SetLoop20mAMeasured(NotANumber);
        break;
    case CalEdit::FixedCurrent:
        m_.SetFixedCurrent(NotANumber);
        break;
    }
    CalAction a{Kind::ClearEdit};
    a.edit = edit;
    out_.push_back(a);
}

void CalProcedures::SetSensorState(int state) {
    sensorState_ = state;
    CalAction a{Kind::Hint};
    a.value = state == 0 ? hart::kHintProcedureEnded : hart::kHintProcedureStarted;
    out_.push_back(a);
    if (state == 0) {
        m_.SetTrimLower(NotANumber);
        m_.SetTrimUpper(NotANumber);
    }
}

void CalProcedures::SetLoopState(int state) {
    loopState_ = state;
    CalAction a{Kind::Hint};
    a.value = state == 0 ? hart::kHintProcedureEnded : hart::kHintProcedureStarted;
    out_.push_back(a);
    if (state == 0) {
        m_.SetFixedCurrent(NotANumber);
        m_.SetLoop4mAMeasured(NotANumber);
        m_.SetLoop20mAMeasured(NotANumber);
    }
}

void CalProcedures::LoopAborted(CalEdit edit) {
    EndLoop(edit);
}

void CalProcedures::EndLoop(std::optional<CalEdit> aborted) {
    if (OutputFixed()) {
        endingAborted_ = aborted;
        Run(CalOp::ReleaseOutput, Pending::LoopReleased);
        return;
    }
    LoopEnded(aborted);
}

void CalProcedures::LoopEnded(std::optional<CalEdit> aborted) {
    SetLoopState(0);
    if (!aborted) return;
    Message(str::kLoopCalibrationAborted, MessageIcon::Information);
    Clear(*aborted);
}

void CalProcedures::PressSetPoint(bool twenty) {
    const float measured = twenty ? m_.GetLoop20mAMeasured() : m_.GetLoop4mAMeasured();
    // What leaving the edit would say; a value outside the window is used all the same.
    if (const LeaveCheck check = LoopCurrentLeaveCheck(twenty, measured); check.messageId)
        Message(check.messageId, MessageIcon::None);
    if (IsNotSet(measured)) return;
    if (twenty)
        Run(CalOp::Loop20mA, Pending::Loop20mADone);
    else
        Run(CalOp::Loop4mA, Pending::Loop4mADone);
}

std::vector<CalAction> CalProcedures::Start() {
    out_.clear();
    pending_ = Pending::None;
    SetSensorState(0);
    SetLoopState(0);
    m_.SetCalUnits(kUnitsCelsius);
    CalAction units{Kind::SelectUnits};
    out_.push_back(units);
    return std::move(out_);
}

std::vector<CalAction> CalProcedures::Press(CalButton button) {
    out_.clear();
    if (Waiting()) return {};
    switch (button) {
    case CalButton::FixedSet:
        if (IsNotSet(m_.GetFixedCurrent()))
            Message(str::kNoFixedCurrent, MessageIcon::None);
        else
            Run(CalOp::EnterFixedVerbose, Pending::FixedSet);
        break;
    case CalButton::FixedReset:
        Run(CalOp::LeaveFixedVerbose, Pending::FixedReset);
        break;
    case CalButton::LoopStart:
        Ask(str::kConnectMultimeter, MessageButtons::OkCancel, Pending::LoopConfirmStart);
        break;
    case CalButton::Set4mA:
    case CalButton::Set20mA:
        PressSetPoint(button == CalButton::Set20mA);
        break;
    case CalButton::SensorStart:
        Run(CalOp::LoadSensorLimits, Pending::LimitsLoaded);
        break;
    case CalButton::TrimLower:
        if (IsNotSet(m_.GetTrimLower()))
            Message(str::kNoLowerPoint, MessageIcon::None);
        else
            Run(CalOp::TrimLower, Pending::TrimLowerDone);
        break;
    case CalButton::TrimUpper:
        if (IsNotSet(m_.GetTrimUpper()))
            Message(str::kNoUpperPoint, MessageIcon::None);
        else
            Run(CalOp::TrimUpper, Pending::TrimUpperDone);
        break;
    case CalButton::ResetTrim:
        Run(CalOp::ResetTrim, Pending::ResetDone);
        break;
    }
    return std::move(out_);
}

std::vector<CalAction> CalProcedures::Reply(int r, int choice) {
    out_.clear();
    const Pending was = pending_;
    pending_ = Pending::None;
    const auto answer = UserAnswer(r);
    switch (was) {
    case Pending::None:
    case Pending::ResetDone:
        break;
    case Pending::FixedSet:
        // A current that got no answer may have been taken: "Сброс" stays the way back.
        if (r || OutputFixed()) fixedSet_ = true;
        break;
    case Pending::FixedReset:
        if (r) {
            Clear(CalEdit::FixedCurrent);
            fixedSet_ = false;
        }
        break;

    // --- loop calibration
    case Pending::LoopConfirmStart:
        if (answer == UserAnswer::Ok) Run(CalOp::StartLoop, Pending::LoopStarted);
        break;
    case Pending::LoopStarted:
        if (r) {
            SetLoopState(1);
            Message(str::kEnter4mAValue, MessageIcon::Information);
        } else {
            EndLoop(std::nullopt);
        }
        break;
    case Pending::Loop4mADone:
        if (r == kDone)
            Ask(str::kLoop4mAConfirm, MessageButtons::YesNoCancel, Pending::Loop4mAConfirm);
        else if (r == kAgain)
            Message(str::kEnter4mAValue, MessageIcon::Information);
        else
            LoopAborted(CalEdit::Loop4mA);
        break;
    case Pending::Loop4mAConfirm:
        if (answer == UserAnswer::Yes) {
            Clear(CalEdit::Loop4mA);
            m_.SetFixedCurrent(20.0f);
            Run(CalOp::EnterFixedQuiet, Pending::Loop20mAEntered);
        } else if (answer == UserAnswer::No) {
            Message(str::kEnter4mAValue, MessageIcon::Information);
        } else {
            Run(CalOp::LeaveFixedQuiet, Pending::LoopLeftAfter4mA);
        }
        break;
    case Pending::Loop20mAEntered:
        if (r) {
            SetLoopState(2);
            Message(str::kEnter20mAValue, MessageIcon::Information);
        } else {
            // The output could not go to 20 mA: the procedure cannot go on; release the output.
            Run(CalOp::LeaveFixedQuiet, Pending::LoopLeftAfter4mA);
        }
        break;
    case Pending::LoopLeftAfter4mA:
        LoopAborted(CalEdit::Loop4mA);
        break;
    case Pending::Loop20mADone:
        if (r == kDone)
            Ask(str::kLoop20mAConfirm, MessageButtons::YesNoCancel, Pending::Loop20mAConfirm);
        else if (r == kAgain)
            Message(str::kEnter20mAValue, MessageIcon::Information);
        else
            LoopAborted(CalEdit::Loop20mA);
        break;
    case Pending::Loop20mAConfirm:
        if (answer == UserAnswer::Yes) {
            Clear(CalEdit::Loop20mA);
            Run(CalOp::FinishLoop, Pending::LoopFinished);
        } else if (answer == UserAnswer::No) {
            Message(str::kEnter20mAValue, MessageIcon::Information);
        } else {
            Run(CalOp::LeaveFixedQuiet, Pending::LoopLeftAfter20mA);
        }
        break;
    case Pending::LoopLeftAfter20mA:
        LoopAborted(CalEdit::Loop20mA);
        break;
    case Pending::LoopFinished:
        EndLoop(std::nullopt); // not released (r = 0): once more, and said plainly
        break;
    case Pending::LoopReleased:
        LoopEnded(endingAborted_);
        break;

    // --- sensor calibration
    case Pending::LimitsLoaded:
        if (!r) {
            SetSensorState(0);
            break;
        }
        {
            std::int32_t u = m_.GetLimitUnits();
            int index = u - kUnitsCelsius;
            if (index < 0 || index > 5) {
                index = 0;
                u = kUnitsCelsius;
            }
            CalAction select{Kind::SelectUnits};
            select.value = index;
            out_.push_back(select);
            m_.SetCalUnits(u);
            Show(CalDialog::Settings, Pending::SettingsClosed);
        }
        break;
    case Pending::SettingsClosed:
        if (!r) break;
        m_.SetCalPoints(choice);
        SetSensorState(1);
        Message(str::kPlaceAtLowerPoint, MessageIcon::Information);
        Show(CalDialog::Measurement, Pending::LowerMeasurementClosed);
        break;
    case Pending::LowerMeasurementClosed:
        if (!r) SetSensorState(0);
        break;
    case Pending::TrimLowerDone:
        if (!r) {
            Ask(str::kTrimRepeat, MessageButtons::YesNo, Pending::TrimLowerRetry);
            break;
        }
        Clear(CalEdit::Lower);
        if (m_.GetCalPoints() == 0) {
            SetSensorState(0);
            break;
        }
        Message(str::kPlaceAtUpperPoint, MessageIcon::Information);
        Show(CalDialog::Measurement, Pending::UpperMeasurementClosed);
        break;
    case Pending::UpperMeasurementClosed:
        SetSensorState(r ? 2 : 0);
        break;
    case Pending::TrimLowerRetry:
    case Pending::TrimUpperRetry:
        if (answer != UserAnswer::Yes) {
            Clear(was == Pending::TrimLowerRetry ? CalEdit::Lower : CalEdit::Upper);
            SetSensorState(0);
        }
        break;
    case Pending::TrimUpperDone:
        if (r) {
            Clear(CalEdit::Upper);
            SetSensorState(0);
        } else {
            Ask(str::kTrimRepeat, MessageButtons::YesNo, Pending::TrimUpperRetry);
        }
        break;
    }
    return std::move(out_);
}

CalEnables CalProcedures::Enables(bool view) const {
    CalEnables e{};
    const bool busy = Waiting();
    if (loopState_ != 0) {
        e.edit4mA = loopState_ == 1;
        e.set4mA = loopState_ == 1 && !busy;
        e.edit20mA = loopState_ == 2;
        e.set20mA = loopState_ == 2 && !busy;
        return e;
    }
    if (sensorState_ != 0) {
        e.units = true;
        e.lowerEdit = sensorState_ == 1;
        e.trimLower = sensorState_ == 1 && !busy;
        e.upperEdit = sensorState_ == 2;
        e.trimUpper = sensorState_ == 2 && !busy;
        return e;
    }
    const bool idle = view && !busy;
    e.sensorStart = e.resetTrim = idle;
    e.loopStart = idle && !fixedSet_;
    e.fixedEdit = view;
    e.fixedSet = e.fixedReset = idle;
    return e;
}

} // namespace zelhart::ui
