#include "hart/user_interface.h"

#include "hart/strings.h"

namespace zelhart::hart {

void ShowString(IUserInterface& ui, int stringId, MessageIcon icon) {
    ui.ShowMessage(stringId, LoadString(stringId), icon);
}

UserAnswer AskString(IUserInterface& ui, int stringId, MessageButtons buttons, MessageIcon icon) {
    return ui.AskUser(stringId, LoadString(stringId), buttons, icon);
}

} // namespace zelhart::hart
