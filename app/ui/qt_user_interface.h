// The program core's user interface on the desktop: message boxes and the question box (through
// modal.h), the wait cursor, and the progress window of the paced calibration and reset waits. All
// of it runs on the user-interface thread; operations on the link thread reach it through
// MarshalledUi and MarshalledProgressWait.
#pragma once

#include "hart/progress_wait.h"
#include "hart/user_interface.h"

#include <chrono>

class QWidget;

namespace zelhart::ui {

class QtUserInterface : public hart::IUserInterface {
  public:
    void ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) override;
    hart::UserAnswer AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                             hart::MessageIcon icon) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

    // Takes back every wait cursor still shown (an operation that ended while aborting).
    void RestoreWaitCursors();
    int WaitCursorDepth() const { return waitDepth_; }
    // The window plain messages belong to.
    void SetOwner(QWidget* owner) { owner_ = owner; }
    QWidget* Owner() const { return owner_; }

  private:
    QWidget* owner_ = nullptr;
    int waitDepth_ = 0;
};

class QtProgressWait : public hart::IProgressWait {
  public:
    explicit QtProgressWait(std::chrono::milliseconds tick = hart::kProgressTick, const QtUserInterface* ui = nullptr)
        : tick_(tick), ui_(ui) {}
    // Shows CProgressDialog modally for the whole wait, centred on the window of `ui`'s owner.
    void Wait(hart::ProgressWaitMode mode) override;

  private:
    std::chrono::milliseconds tick_;
    const QtUserInterface* ui_;
};

} // namespace zelhart::ui
