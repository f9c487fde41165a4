// The user interface of the command-line front end. Messages go to standard error, one line for each
// line of the message box (a cause follows on its own line, indented).
// Questions are asked on the terminal when the front end runs interactively; otherwise each takes
// its default answer (DefaultAnswer), which is printed with it.
#pragma once

#include "hart/user_interface.h"

#include <cstdio>
#include <optional>
#include <string>

namespace zelhart::cli {

// Questions of the front end's own (no string-table id).
inline constexpr int kOwnQuestion = 0;

// The answer a question takes when nobody is asked:
//   904 unsaved data will be lost - Да;        905 the loop output will change - Продолжить;
//   906 transmitter not found - Отмена;        1272 multimeter connected - Продолжить;
//   1249, 1251 trimmed point matches the meter - Да;  1331, 1341 repeat a refused trim - Нет;
//   the front end's own "temperature stable?" - Продолжить;
// any other question: Отмена or Нет, whichever it offers (the choice that changes nothing).
hart::UserAnswer DefaultAnswer(int stringId, hart::MessageButtons buttons);

class TerminalUi : public hart::IUserInterface {
  public:
    TerminalUi(std::FILE* in, std::FILE* err, bool interactive)
        : in_(in), err_(err), interactive_(interactive) {}

    void ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) override;
    hart::UserAnswer AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                             hart::MessageIcon icon) override;
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

    // Asks for a number on the terminal by the command line's rule (ParseTypedFloat: the user's
    // decimal separator or '.'); asks again after an entry that is no such number. Nothing when not
    // interactive, on an empty line, at the end of input or after too many refused entries.
    std::optional<float> AskNumber(std::string_view prompt);

    bool Interactive() const { return interactive_; }

  private:
    std::FILE* in_;
    std::FILE* err_;
    bool interactive_;
};

// One line: the text's line breaks become spaces.
std::string OneLine(std::string_view text);

// One line of `in` without its line end and surrounding spaces, at most 255 bytes (the rest of a
// longer line is dropped); nothing at the end of input.
std::optional<std::string> ReadLine(std::FILE* in);

} // namespace zelhart::cli
