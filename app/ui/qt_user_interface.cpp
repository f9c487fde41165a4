#include "qt_user_interface.h"

#include "modal.h"
#include "progress_dialog.h"
#include "qt_text.h"

#include <QApplication>
#include <QCursor>

namespace zelhart::ui {

void QtUserInterface::ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) {
    modal::Message(stringId, Qs(text), icon, owner_);
}

hart::UserAnswer QtUserInterface::AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                                          hart::MessageIcon icon) {
    return modal::Ask(stringId, Qs(text), buttons, icon);
}

void QtUserInterface::BeginWaitCursor() {
    ++waitDepth_;
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void QtUserInterface::EndWaitCursor() {
    if (waitDepth_ == 0) return;
    --waitDepth_;
    QApplication::restoreOverrideCursor();
}

void QtUserInterface::RestoreWaitCursors() {
    while (waitDepth_ > 0)
        EndWaitCursor();
}

void QtProgressWait::Wait(hart::ProgressWaitMode mode) {
    CProgressDialog dialog(tick_, ui_ ? ui_->Owner() : nullptr);
    dialog.SetMode(mode);
    modal::Exec(dialog);
}

} // namespace zelhart::ui
