#include "terminal_ui.h"

#include <string>

namespace zelhart::cli {
namespace {

const char* Prefix(hart::MessageIcon icon) {
    switch (icon) {
    case hart::MessageIcon::Stop:
        return "ошибка";
    case hart::MessageIcon::Warning:
        return "внимание";
    default:
        return "сообщение";
    }
}

// One line per message: the text's line breaks become spaces.
std::string OneLine(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (c != '\n') {
            s += c;
        } else if (!s.empty() && s.back() != ' ') {
            s += ' ';
        }
    }
    return s;
}

} // namespace

void TerminalUi::ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) {
    if (icon == hart::MessageIcon::Stop) ++errors_;
    std::fprintf(err_, "4810cli: %s %d: %s\n", Prefix(icon), stringId, OneLine(text).c_str());
}

hart::UserAnswer TerminalUi::AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                                     hart::MessageIcon) {
    hart::UserAnswer answer = hart::UserAnswer::No;
    if (buttons == hart::MessageButtons::Ok) answer = hart::UserAnswer::Ok;
    if (buttons == hart::MessageButtons::OkCancel || buttons == hart::MessageButtons::RetryCancel ||
        buttons == hart::MessageButtons::YesNoCancel)
        answer = hart::UserAnswer::Cancel;
    std::fprintf(err_, "4810cli: вопрос %d: %s -> %s\n", stringId, OneLine(text).c_str(),
                 answer == hart::UserAnswer::Ok       ? "Продолжить"
                 : answer == hart::UserAnswer::Cancel ? "Отмена"
                                                      : "Нет");
    return answer;
}

} // namespace zelhart::cli
