// A user interface for tests: records every message and question, answers from a script.
#pragma once

#include "hart/user_interface.h"

#include <deque>
#include <string>
#include <vector>

namespace zelhart::hart::testing {

struct ShownMessage {
    int id;
    std::string text;
    MessageIcon icon;
    bool question = false;
    MessageButtons buttons = MessageButtons::Ok;
};

class RecordingUi : public IUserInterface {
  public:
    void ShowMessage(int stringId, std::string_view text, MessageIcon icon) override {
        shown.push_back({stringId, std::string(text), icon});
    }
    UserAnswer AskUser(int stringId, std::string_view text, MessageButtons buttons,
                       MessageIcon icon) override {
        shown.push_back({stringId, std::string(text), icon, true, buttons});
        if (answers.empty())
            return buttons == MessageButtons::RetryCancel || buttons == MessageButtons::OkCancel
                       ? UserAnswer::Cancel
                       : UserAnswer::No;
        UserAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void BeginWaitCursor() override { ++waitDepth; }
    void EndWaitCursor() override { --waitDepth; }

    std::vector<int> Ids() const {
        std::vector<int> ids;
        for (const auto& m : shown)
            ids.push_back(m.id);
        return ids;
    }

    std::vector<ShownMessage> shown;
    std::deque<UserAnswer> answers; // for AskUser; when empty: Cancel or No
    int waitDepth = 0;
};

} // namespace zelhart::hart::testing
