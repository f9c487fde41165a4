// Closing the main window, step by step and free of widgets. A fixed 4-20 mA output is a false
// process value for the control system, and a send cut short half-configures the transmitter, so:
//
// 1. A link operation that holds the window is not cut off silently: the user says whether to wait
//    for its end ("Да") or to stop it after its current command ("Нет"); "Отмена" keeps the window.
//    A monitoring poll is stopped without a question. Either way the window closes again once the
//    link is idle.
// 2. The usual "save changes?" question.
// 3. A loop output the program fixed and has not released: the user says whether to release it
//    first ("Да": command 40 with 0 on the link, then the window closes again; if it cannot be
//    released and the user gives up, the window stays), to leave it ("Нет"), or to keep the window.
// 4. The window closes.
#pragma once

#include "hart/user_interface.h"

namespace zelhart::ui {

enum class CloseStep {
    AskAboutOperation, // kOperationRunsOnClose: Yes wait, No stop after the current command, Cancel stay
    StopPoll,          // abort the monitoring poll, then wait for it
    Wait,              // nothing to do now: close again when the link is idle
    AskToSave,         // the framework's save question
    AskAboutOutput,    // kOutputFixedOnClose: Yes release, No leave it fixed, Cancel stay
    Close,
};

struct CloseSituation {
    bool linkBusy = false;    // an operation runs on the link
    bool holdsWindow = false; // ... and it is one of the user's (not a monitoring poll)
    bool outputFixed = false; // the loop output may be fixed by this program
};

class ClosingSequence {
  public:
    // A close was asked for; a sequence under way goes on where it was.
    void Begin();
    // Not closing (never asked, cancelled or closed).
    bool Active() const { return active_; }
    CloseStep Next(const CloseSituation& s) const;

    // The user's answer to the question of `step`. Cancel (or anything but Yes/No) ends the
    // sequence: the window stays.
    void Answer(CloseStep step, hart::UserAnswer answer);
    // The monitoring poll has been told to stop.
    void PollStopped() { operationAnswered_ = true; }
    // Whether the user chose to stop the operation after its current command.
    bool StopRequested() const { return stop_; }
    // The save question's outcome: false (cancelled, or saving failed) ends the sequence.
    void Saved(bool ok);
    // The release of the output has returned: false (the user gave up) ends the sequence.
    void Released(bool ok);
    void Cancel() { *this = ClosingSequence(); }

  private:
    bool active_ = false;
    bool operationAnswered_ = false;
    bool stop_ = false;
    bool saved_ = false;
    bool outputAnswered_ = false;
};

} // namespace zelhart::ui
