#include "hart/user_interface.h"

#include "hart/strings.h"

#include <string>

namespace zelhart::hart {
namespace {

std::string WithCause(int stringId, std::string_view cause) {
    std::string text(LoadString(stringId));
    if (!cause.empty()) text.append("\n").append(cause);
    return text;
}

} // namespace

void ShowString(IUserInterface& ui, int stringId, MessageIcon icon) {
    ui.ShowMessage(stringId, LoadString(stringId), icon);
}

UserAnswer AskString(IUserInterface& ui, int stringId, MessageButtons buttons, MessageIcon icon) {
    return ui.AskUser(stringId, LoadString(stringId), buttons, icon);
}

void ShowString(IUserInterface& ui, int stringId, MessageIcon icon, std::string_view cause) {
    ui.ShowMessage(stringId, WithCause(stringId, cause), icon);
}

UserAnswer AskString(IUserInterface& ui, int stringId, MessageButtons buttons, MessageIcon icon,
                     std::string_view cause) {
    return ui.AskUser(stringId, WithCause(stringId, cause), buttons, icon);
}

} // namespace zelhart::hart
