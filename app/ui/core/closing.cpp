#include "core/closing.h"

namespace zelhart::ui {

using hart::UserAnswer;

void ClosingSequence::Begin() {
    if (active_) return;
    *this = ClosingSequence();
    active_ = true;
}

CloseStep ClosingSequence::Next(const CloseSituation& s) const {
    if (s.linkBusy) {
        if (operationAnswered_) return CloseStep::Wait;
        return s.holdsWindow ? CloseStep::AskAboutOperation : CloseStep::StopPoll;
    }
    if (!saved_) return CloseStep::AskToSave;
    if (s.outputFixed && !outputAnswered_) return CloseStep::AskAboutOutput;
    return CloseStep::Close;
}

void ClosingSequence::Answer(CloseStep step, UserAnswer answer) {
    if (answer != UserAnswer::Yes && answer != UserAnswer::No) {
        Cancel();
        return;
    }
    switch (step) {
    case CloseStep::AskAboutOperation:
        operationAnswered_ = true;
        stop_ = answer == UserAnswer::No;
        break;
    case CloseStep::AskAboutOutput:
        // "Да" releases it first (Released says how that went; a close meanwhile waits for it);
        // "Нет" leaves it fixed.
        outputAnswered_ = answer == UserAnswer::No;
        operationAnswered_ = true;
        break;
    default:
        break;
    }
}

void ClosingSequence::Saved(bool ok) {
    if (ok)
        saved_ = true;
    else
        Cancel();
}

void ClosingSequence::Released(bool ok) {
    if (ok)
        outputAnswered_ = true;
    else
        Cancel();
}

} // namespace zelhart::ui
