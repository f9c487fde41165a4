// Closing the window as a table of situations and answers: an operation is waited for or stopped
// as the user says, the save question comes once, a fixed output is released or left as the user
// says, and every "Отмена" keeps the window.
#include "core/closing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelhart::ui {
namespace {

using hart::UserAnswer;

// One call of the window's close handler: the situation it finds, what the user answers.
struct Round {
    CloseSituation situation;
    std::vector<UserAnswer> answers; // in the order asked; the release's outcome as Yes/No
    const char* steps;               // the steps taken, up to Wait, Close or the end of the sequence
};

std::string Play(ClosingSequence& c, const Round& r) {
    c.Begin();
    std::string steps;
    size_t next = 0;
    auto answer = [&] { return next < r.answers.size() ? r.answers[next++] : UserAnswer::Cancel; };
    while (c.Active()) {
        const CloseStep step = c.Next(r.situation);
        static const char* const names[] = {"ask-op", "stop-poll", "wait", "save", "ask-output", "close"};
        steps += (steps.empty() ? "" : " ") + std::string(names[int(step)]);
        switch (step) {
        case CloseStep::AskAboutOperation:
            c.Answer(step, answer());
            if (c.StopRequested()) steps += "(stop)";
            break;
        case CloseStep::StopPoll:
            c.PollStopped();
            break;
        case CloseStep::Wait:
            return steps;
        case CloseStep::AskToSave:
            c.Saved(answer() == UserAnswer::Yes);
            break;
        case CloseStep::AskAboutOutput: {
            const UserAnswer a = answer();
            c.Answer(step, a);
            if (a == UserAnswer::Yes) c.Released(answer() == UserAnswer::Yes);
            break;
        }
        case CloseStep::Close:
            c.Cancel();
            return steps;
        }
    }
    return steps + " stay";
}

TEST(ClosingTest, OperationThenSaveThenOutput) {
    using A = UserAnswer;
    const CloseSituation idle{}, sending{true, true, false}, polling{true, false, false};
    const CloseSituation fixed{false, false, true}, fixedSending{true, true, true};
    const struct {
        const char* name;
        std::vector<Round> rounds;
    } cases[] = {
        {"nothing runs", {{idle, {A::Yes}, "save close"}}},
        {"save cancelled", {{idle, {A::Cancel}, "save stay"}}},
        {"a send: wait for its end, then the save question",
         {{sending, {A::Yes}, "ask-op wait"}, {sending, {}, "wait"}, {idle, {A::Yes}, "save close"}}},
        {"a send: stopped after its current command", {{sending, {A::No}, "ask-op(stop) wait"}, {idle, {A::Yes}, "save close"}}},
        {"a send: 'Отмена' keeps the window", {{sending, {A::Cancel}, "ask-op stay"}}},
        {"a monitoring poll is stopped without a question", {{polling, {}, "stop-poll wait"}, {idle, {A::Yes}, "save close"}}},
        {"a fixed output released", {{fixed, {A::Yes, A::Yes, A::Yes}, "save ask-output close"}}},
        {"a fixed output left fixed", {{fixed, {A::Yes, A::No}, "save ask-output close"}}},
        {"a fixed output: 'Отмена' keeps the window", {{fixed, {A::Yes, A::Cancel}, "save ask-output stay"}}},
        {"a fixed output that cannot be released keeps the window",
         {{fixed, {A::Yes, A::Yes, A::No}, "save ask-output stay"}}},
        {"a calibration step runs with the output fixed",
         {{fixedSending, {A::Yes}, "ask-op wait"}, {fixed, {A::Yes, A::No}, "save ask-output close"}}},
    };
    for (const auto& c : cases) {
        ClosingSequence sequence;
        for (size_t i = 0; i < c.rounds.size(); ++i)
            EXPECT_EQ(Play(sequence, c.rounds[i]), c.rounds[i].steps) << c.name << ", round " << i;
        EXPECT_FALSE(sequence.Active()) << c.name;
    }
}

} // namespace
} // namespace zelhart::ui
