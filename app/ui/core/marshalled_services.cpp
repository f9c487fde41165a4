#include "core/marshalled_services.h"

namespace zelhart::ui {

using hart::MessageButtons;
using hart::UserAnswer;

UserAnswer QuietAnswer(MessageButtons buttons) {
    switch (buttons) {
    case MessageButtons::Ok:
        return UserAnswer::Ok;
    case MessageButtons::YesNo:
        return UserAnswer::No;
    case MessageButtons::OkCancel:
    case MessageButtons::YesNoCancel:
    case MessageButtons::RetryCancel:
        break;
    }
    return UserAnswer::Cancel;
}

void MarshalledUi::ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) {
    runner_.CallOnUi([&] { target_.ShowMessage(stringId, text, icon); });
}

UserAnswer MarshalledUi::AskUser(int stringId, std::string_view text, MessageButtons buttons,
                                 hart::MessageIcon icon) {
    UserAnswer answer = QuietAnswer(buttons);
    runner_.CallOnUi([&] { answer = target_.AskUser(stringId, text, buttons, icon); });
    return answer;
}

void MarshalledUi::BeginWaitCursor() {
    runner_.CallOnUi([this] { target_.BeginWaitCursor(); });
}

void MarshalledUi::EndWaitCursor() {
    runner_.CallOnUi([this] { target_.EndWaitCursor(); });
}

void MarshalledProgressWait::Wait(hart::ProgressWaitMode mode) {
    runner_.CallOnUi([&] { target_.Wait(mode); });
}

hart::CLrxDoc::UpdateHandler MarshalledHints(LinkRunner& runner, std::function<void(int hint)> handler) {
    return [&runner, handler = std::move(handler)](int hint) { runner.CallOnUi([&] { handler(hint); }); };
}

} // namespace zelhart::ui
