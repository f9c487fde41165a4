// The calibration page's state machines without widgets: each procedure through its states, every
// branch of its questions and every result of its operations, as the actions the page carries out.
#include "core/cal_procedures.h"

#include "hart/document.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace zelhart::ui {
namespace {

using hart::UserAnswer;

std::string Describe(const CalAction& a) {
    static const char* const ops[] = {"enter+",    "leave+",    "enter",     "leave",
                                      "startLoop", "loop4",     "loop20",    "finishLoop",
                                      "limits",    "trimLower", "trimUpper", "resetTrim", "release"};
    static const char* const edits[] = {"lower", "upper", "4mA", "20mA", "fixed"};
    switch (a.kind) {
    case CalAction::Kind::Message:
        return "msg" + std::to_string(a.value);
    case CalAction::Kind::Ask:
        return "ask" + std::to_string(a.value);
    case CalAction::Kind::Run:
        return std::string("run:") + ops[int(a.op)];
    case CalAction::Kind::Dialog:
        return a.dialog == CalDialog::Settings ? "settings" : "measure";
    case CalAction::Kind::ClearEdit:
        return std::string("clear:") + edits[int(a.edit)];
    case CalAction::Kind::SelectUnits:
        return "units" + std::to_string(a.value);
    case CalAction::Kind::Hint:
        return "hint" + std::to_string(a.value);
    }
    return "?";
}

std::string Describe(const std::vector<CalAction>& actions) {
    std::string s;
    for (const CalAction& a : actions)
        s += (s.empty() ? "" : " ") + Describe(a);
    return s;
}

// One step: a button, or the reply to what waits.
struct Reply {
    int result;
    int choice = 0;
};
struct Step {
    std::variant<CalButton, Reply> input;
    const char* actions;
    // The meter's reading typed before a "Установить" (0: the point's own current; NaN: empty).
    float typed = 0;
};

constexpr int kYes = int(UserAnswer::Yes), kNo = int(UserAnswer::No), kCancel = int(UserAnswer::Cancel);
constexpr int kOk = int(UserAnswer::Ok);

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    int sensorState, loopState;
    bool outputFixed = false; // the output may still be fixed after each operation
};

void Play(const Scenario& s, CalProcedures& p, CTransmitterModel& m) {
    for (size_t i = 0; i < s.steps.size(); ++i) {
        const Step& step = s.steps[i];
        std::vector<CalAction> out;
        if (const auto* b = std::get_if<CalButton>(&step.input)) {
            if (*b == CalButton::Set4mA) m.SetLoop4mAMeasured(step.typed != 0 ? step.typed : 4.0f);
            if (*b == CalButton::Set20mA) m.SetLoop20mAMeasured(step.typed != 0 ? step.typed : 20.0f);
            out = p.Press(*b);
        } else {
            const Reply r = std::get<Reply>(step.input);
            out = p.Reply(r.result, r.choice);
        }
        EXPECT_EQ(Describe(out), step.actions) << s.name << ", step " << i;
    }
    EXPECT_EQ(p.SensorState(), s.sensorState) << s.name;
    EXPECT_EQ(p.LoopState(), s.loopState) << s.name;
    EXPECT_FALSE(p.Waiting()) << s.name;
}

TEST(CalProceduresTest, EveryProcedureThroughItsStates) {
    using B = CalButton;
    const Scenario scenarios[] = {
        {"loop: write-protected (start fails)",
         {{B::LoopStart, "ask1272"}, {Reply{kOk}, "run:startLoop"}, {Reply{0}, "hint5"}},
         0,
         0},
        {"loop: cancelled at the start", {{B::LoopStart, "ask1272"}, {Reply{kCancel}, ""}}, 0, 0},
        {"loop: both points confirmed",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{0}, "ask1251"},
          {Reply{kYes}, "clear:20mA run:finishLoop"},
          {Reply{1}, "hint5"}},
         0,
         0},
        {"loop: 4 mA rejected as too large, entered again, then 'Нет' repeats, 'Отмена' ends",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{2}, "msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kNo}, "msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kCancel}, "run:leave"},
          {Reply{1}, "hint5 msg1311 clear:4mA"}},
         0,
         0},
        {"loop: the 4 mA step aborts (transmitter gone or 'Нет' to 1341)",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{1}, "hint5 msg1311 clear:4mA"}},
         0,
         0},
        {"loop: the output cannot go to 20 mA: released, ended",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{0}, "run:leave"},
          {Reply{0}, "hint5 msg1311 clear:4mA"}},
         0,
         0},
        {"loop: 20 mA 'Нет' repeats, entered again, aborted, 'Отмена'",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{0}, "ask1251"},
          {Reply{kNo}, "msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{2}, "msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{0}, "ask1251"},
          {Reply{kCancel}, "run:leave"},
          {Reply{1}, "hint5 msg1311 clear:20mA"}},
         0,
         0},
        {"loop: the 20 mA step aborts",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{1}, "hint5 msg1311 clear:20mA"}},
         0,
         0},
        {"sensor: limits unreadable", {{B::SensorStart, "run:limits"}, {Reply{0}, "hint5"}}, 0, 0},
        {"sensor: settings cancelled",
         {{B::SensorStart, "run:limits"}, {Reply{1}, "units0 settings"}, {Reply{0}, ""}},
         0,
         0},
        {"sensor: measurement cancelled",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 1}, "hint6 msg1332 measure"},
          {Reply{0}, "hint5"}},
         0,
         0},
        {"sensor: the lower point only",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 0}, "hint6 msg1332 measure"},
          {Reply{1}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{1}, "clear:lower hint5"}},
         0,
         0},
        {"sensor: both points, the lower retried after a failure",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 1}, "hint6 msg1332 measure"},
          {Reply{1}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{0}, "ask1331"},
          {Reply{kYes}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{1}, "clear:lower msg1333 measure"},
          {Reply{1}, "hint6"},
          {B::TrimUpper, "run:trimUpper"},
          {Reply{1}, "clear:upper hint5"}},
         0,
         0},
        {"sensor: the upper point's measurement cancelled",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 1}, "hint6 msg1332 measure"},
          {Reply{1}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{1}, "clear:lower msg1333 measure"},
          {Reply{0}, "hint5"}},
         0,
         0},
        {"sensor: a failed lower trim not retried",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 0}, "hint6 msg1332 measure"},
          {Reply{1}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{0}, "ask1331"},
          {Reply{kNo}, "clear:lower hint5"}},
         0,
         0},
        {"sensor: a failed upper trim retried stays at the upper point",
         {{B::SensorStart, "run:limits"},
          {Reply{1}, "units0 settings"},
          {Reply{1, 1}, "hint6 msg1332 measure"},
          {Reply{1}, ""},
          {B::TrimLower, "run:trimLower"},
          {Reply{1}, "clear:lower msg1333 measure"},
          {Reply{1}, "hint6"},
          {B::TrimUpper, "run:trimUpper"},
          {Reply{0}, "ask1331"},
          {Reply{kYes}, ""}},
         2,
         0},
        {"sensor: reset to factory", {{B::ResetTrim, "run:resetTrim"}, {Reply{0}, ""}}, 0, 0},
        {"fixed current: set, then reset",
         {{B::FixedSet, "run:enter+"},
          {Reply{1}, ""},
          {B::FixedReset, "run:leave+"},
          {Reply{1}, "clear:fixed"}},
         0,
         0},
        // The meter's reading is used when "Установить" is pressed, outside the window too (said
        // first); an empty one is said and nothing is sent.
        {"loop: readings outside the windows and an empty one",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "msg1279 run:loop4", 4.25f},
          {Reply{2}, "msg1273"},
          {B::Set4mA, "msg1278", NotANumber},
          {B::Set4mA, "msg1280 run:loop4", 3.79f},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "msg1282 run:loop20", 20.6f},
          {Reply{2}, "msg1274"},
          {B::Set20mA, "msg1283 run:loop20", 19.4f},
          {Reply{0}, "ask1251"},
          {Reply{kCancel}, "run:leave"},
          {Reply{1}, "hint5 msg1311 clear:20mA"}},
         0,
         0},
        // Every end of the loop calibration with the output possibly still fixed releases it first.
        {"loop: the start got no answer: released",
         {{B::LoopStart, "ask1272"}, {Reply{kOk}, "run:startLoop"}, {Reply{0}, "run:release"}, {Reply{1}, "hint5"}},
         0,
         0,
         true},
        {"loop: the 4 mA step gave up (transmitter gone): released, the user gives up on it",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{1}, "run:release"},
          {Reply{0}, "hint5 msg1311 clear:4mA"}},
         0,
         0,
         true},
        {"loop: 'Отмена' at 20 mA, the quiet leave failed: released",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{0}, "ask1251"},
          {Reply{kCancel}, "run:leave"},
          {Reply{0}, "run:release"},
          {Reply{1}, "hint5 msg1311 clear:20mA"}},
         0,
         0,
         true},
        {"loop: confirmed, but the output was not released at the end: released",
         {{B::LoopStart, "ask1272"},
          {Reply{kOk}, "run:startLoop"},
          {Reply{1}, "hint6 msg1273"},
          {B::Set4mA, "run:loop4"},
          {Reply{0}, "ask1249"},
          {Reply{kYes}, "clear:4mA run:enter"},
          {Reply{1}, "hint6 msg1274"},
          {B::Set20mA, "run:loop20"},
          {Reply{0}, "ask1251"},
          {Reply{kYes}, "clear:20mA run:finishLoop"},
          {Reply{0}, "run:release"},
          {Reply{1}, "hint5"}},
         0,
         0,
         true},
    };
    for (const Scenario& s : scenarios) {
        CTransmitterModel m;
        CalProcedures p(m, [&s] { return s.outputFixed; });
        EXPECT_EQ(Describe(p.Start()), "hint5 hint5 units0");
        m.SetFixedCurrent(3.0f);
        m.SetTrimLower(10.0f);
        m.SetTrimUpper(90.0f);
        Play(s, p, m);
    }
}

TEST(CalProceduresTest, MissingValuesAndTheUnitsOfTheLimits) {
    CTransmitterModel m;
    CalProcedures p(m);
    p.Start();
    EXPECT_EQ(Describe(p.Press(CalButton::FixedSet)), "msg1326");
    EXPECT_EQ(Describe(p.Press(CalButton::TrimLower)), "msg1327");
    EXPECT_EQ(Describe(p.Press(CalButton::TrimUpper)), "msg1328");
    // Limits in °K select that entry; a code above "Ом" starts in °C.
    for (const auto& [code, entry] : {std::pair{35, 3}, std::pair{38, 0}, std::pair{0, 0}}) {
        p.Press(CalButton::SensorStart);
        m.SetLimitUnits(code);
        EXPECT_EQ(Describe(p.Reply(1)), "units" + std::to_string(entry) + " settings");
        EXPECT_EQ(m.GetCalUnits(), 32 + entry);
        p.Reply(0);
    }
}

TEST(CalProceduresTest, StatesEnableTheirControlsAndKeepTheOthersOff) {
    CTransmitterModel m;
    CalProcedures p(m);
    p.Start();
    m.SetFixedCurrent(3.0f); // typed
    CalEnables e = p.Enables(true);
    EXPECT_TRUE(e.sensorStart && e.resetTrim && e.loopStart && e.fixedEdit && e.fixedSet && e.fixedReset);
    EXPECT_FALSE(e.units || e.lowerEdit || e.trimLower || e.set4mA || e.set20mA);
    EXPECT_FALSE(p.Enables(false).sensorStart || p.Enables(false).fixedSet); // a device operation runs
    // A fixed current set keeps the loop from starting until it is reset.
    p.Press(CalButton::FixedSet);
    EXPECT_FALSE(p.Enables(true).fixedSet);              // waiting for the operation
    EXPECT_TRUE(p.Press(CalButton::FixedReset).empty()); // nothing starts while one waits
    p.Reply(1);
    EXPECT_FALSE(p.Enables(true).loopStart);
    EXPECT_TRUE(p.Enables(true).sensorStart);
    p.Press(CalButton::FixedReset);
    p.Reply(0); // the reset failed: still set
    EXPECT_FALSE(p.Enables(true).loopStart);
    // A current that got no answer may have been taken: set, as far as the loop is concerned.
    bool fixed = true;
    CalProcedures q(m, [&fixed] { return fixed; });
    q.Start();
    m.SetFixedCurrent(12.0f);
    q.Press(CalButton::FixedSet);
    q.Reply(0);
    EXPECT_TRUE(q.FixedCurrentSet());
    EXPECT_FALSE(q.Enables(true).loopStart);
    // The loop at its 4 mA step: only that edit and its button.
    p.Press(CalButton::FixedReset);
    p.Reply(1);
    p.Press(CalButton::LoopStart);
    p.Reply(kOk);
    p.Reply(1);
    e = p.Enables(true);
    EXPECT_TRUE(e.edit4mA && e.set4mA);
    EXPECT_FALSE(e.sensorStart || e.resetTrim || e.loopStart || e.fixedEdit || e.fixedSet || e.edit20mA);
    EXPECT_TRUE(IsNotSet(m.GetLoop4mAMeasured()));
}

} // namespace
} // namespace zelhart::ui
