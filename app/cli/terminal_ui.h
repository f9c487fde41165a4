// The user interface of the command-line front end: messages go to standard error; questions are
// answered without waiting for anyone, with the choice that changes nothing.
#pragma once

#include "hart/user_interface.h"

#include <cstdio>

namespace zelhart::cli {

class TerminalUi : public hart::IUserInterface {
  public:
    explicit TerminalUi(std::FILE* err = stderr) : err_(err) {}

    void ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) override;
    hart::UserAnswer AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                             hart::MessageIcon icon) override;
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

    // Messages shown with the stop icon so far: the front end's exit status depends on them.
    int Errors() const { return errors_; }

  private:
    std::FILE* err_;
    int errors_ = 0;
};

} // namespace zelhart::cli
