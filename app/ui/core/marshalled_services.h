// The document's services as an operation on the link thread sees them: each call runs on the
// user-interface thread through the link runner and returns when it has run there. Once the runner
// is aborting (the window is closing), nothing is shown any more: messages are dropped, a question
// takes the answer that changes nothing, a paced wait ends at once, update hints are dropped.
#pragma once

#include "core/link_runner.h"

#include "hart/document.h"
#include "hart/progress_wait.h"
#include "hart/user_interface.h"

namespace zelhart::ui {

// The answer that changes nothing: Cancel where it is offered, else No, else OK.
hart::UserAnswer QuietAnswer(hart::MessageButtons buttons);

class MarshalledUi : public hart::IUserInterface {
  public:
    MarshalledUi(LinkRunner& runner, hart::IUserInterface& target) : runner_(runner), target_(target) {}

    void ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) override;
    hart::UserAnswer AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                             hart::MessageIcon icon) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;

  private:
    LinkRunner& runner_;
    hart::IUserInterface& target_;
};

class MarshalledProgressWait : public hart::IProgressWait {
  public:
    MarshalledProgressWait(LinkRunner& runner, hart::IProgressWait& target)
        : runner_(runner), target_(target) {}
    void Wait(hart::ProgressWaitMode mode) override;

  private:
    LinkRunner& runner_;
    hart::IProgressWait& target_;
};

// The document's update handler that passes each hint to `handler` on the user-interface thread.
hart::CLrxDoc::UpdateHandler MarshalledHints(LinkRunner& runner, std::function<void(int hint)> handler);

} // namespace zelhart::ui
