// What the hyperlink says when its target cannot be opened: message 925 followed by the reason.
#pragma once

#include <string>

namespace zelhart::ui {

enum class LinkFailure {
    NoHandler, // neither the desktop's URL handler nor a fallback browser exists
    NotFound,  // the target is a local file that does not exist
    Other,     // a handler exists but could not be started; `code` says why
};

// String id of the reason's text (921, 913, or 924 for anything else).
int LinkFailureTextId(LinkFailure failure);

// 925 "Невозможно открыть гиперссылку:\n\n" and the reason; for Other "Неизвестная ошибка (code)".
std::string LinkFailureMessage(LinkFailure failure, int code);

} // namespace zelhart::ui
