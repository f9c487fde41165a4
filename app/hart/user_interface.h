// How the program's core talks to the user: message boxes, questions and the wait cursor.
//
// The core never shows anything itself. The desktop program implements this with message boxes, the
// command-line front end on the terminal, tests with a script. Every call carries the string id of the
// text (see strings.h) and the text itself, already formatted.
#pragma once

#include <string_view>

namespace zelhart::hart {

enum class MessageIcon { None, Information, Warning, Stop, Question };

// Button sets of a question; the captions are the program's own ("Продолжить", "Отмена", ...).
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };

enum class UserAnswer { Ok, Cancel, Yes, No, Retry };

class IUserInterface {
  public:
    virtual ~IUserInterface() = default;

    // A plain message box with one OK button; returns when the user has closed it.
    virtual void ShowMessage(int stringId, std::string_view text, MessageIcon icon) = 0;

    // The question box: the user picks one of `buttons`.
    virtual UserAnswer AskUser(int stringId, std::string_view text, MessageButtons buttons,
                               MessageIcon icon) = 0;

    // Bracket a long operation; calls nest.
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
};

// Shows string `stringId` of the string table.
void ShowString(IUserInterface& ui, int stringId, MessageIcon icon);
UserAnswer AskString(IUserInterface& ui, int stringId, MessageButtons buttons, MessageIcon icon);
// The same with `cause` on a second line when it is not empty (the link's and the port's causes).
void ShowString(IUserInterface& ui, int stringId, MessageIcon icon, std::string_view cause);
UserAnswer AskString(IUserInterface& ui, int stringId, MessageButtons buttons, MessageIcon icon,
                     std::string_view cause);

} // namespace zelhart::hart
