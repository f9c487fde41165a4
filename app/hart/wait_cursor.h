// The wait cursor for the length of a scope, or until restored early.
#pragma once

#include "hart/user_interface.h"

namespace zelhart::hart {

class WaitCursor {
  public:
    explicit WaitCursor(IUserInterface& ui) : ui_(ui) { ui_.BeginWaitCursor(); }
    ~WaitCursor() { Restore(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

    void Restore() {
        if (!shown_) return;
        shown_ = false;
        ui_.EndWaitCursor();
    }
    void Show() {
        if (shown_) return;
        shown_ = true;
        ui_.BeginWaitCursor();
    }

  private:
    IUserInterface& ui_;
    bool shown_ = true;
};

} // namespace zelhart::hart
