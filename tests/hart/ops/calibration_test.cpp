// The calibration procedures of the document: fixed current, loop trim, sensor trim and the return to
// the factory calibration, each with its happy path and its refusals.
#include "document_fixture.h"

#include "hart/strings.h"

namespace zelhart::hart {
namespace {

using testing::Contains;
using testing::DocumentTest;
using testing::FloatAt;
using testing::SentCommands;
using testing::SentFrames;

const std::string kProtected = "reply 15 0 0 u8:0 u8:0 u8:32 f:100 f:0 f:1.5 u8:1 u8:0\n";

// --- fixed current

TEST_F(DocumentTest, FixedCurrentIsSetWithinTheAlarmLevels) {
    Load("");
    t().SetFixedCurrent(4.0f);
    ui.answers = {UserAnswer::Ok};
    ASSERT_EQ(doc->SetFixedCurrentMode(true, true), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 189, 40}));
    EXPECT_EQ(FloatAt(SentFrames(lib)[3].data, 0), 4.0f);
    ASSERT_EQ(ui.Ids(), (std::vector<int>{str::kLoopOutputWillChange, str::kFixedCurrentSet}));
    EXPECT_EQ(ui.shown[1].text, "Фиксированный ток (4.00 mA) успешно установлен!");
    EXPECT_EQ(ui.shown[1].icon, MessageIcon::Information);

    // Quietly: no question, no report.
    ui.shown.clear();
    ASSERT_EQ(doc->SetFixedCurrentMode(true, false), 1);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(DocumentTest, FixedCurrentOutsideTheAlarmLevelsIsRefused) {
    Load("reply 189 0 0 f:21 f:3.5 f:20.5 f:3.8\n");
    t().SetFixedCurrent(3.0f);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    ASSERT_EQ(ui.Ids(), std::vector<int>{str::kFixedCurrentBelowLowAlarm});
    EXPECT_EQ(ui.shown[0].text,
              "Записываемое значение фиксированного тока ниже нижнего уровня аварии! (3.50 mA)");

    ui.shown.clear();
    t().SetFixedCurrent(22.0f);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    ASSERT_EQ(ui.Ids(), std::vector<int>{str::kFixedCurrentAboveHighAlarm});
    EXPECT_EQ(ui.shown[0].text,
              "Записываемое значение фиксированного тока выше верхнего уровня аварии! (21.00 mA)");
    EXPECT_FALSE(Contains(SentCommands(lib), 40));

    // A current exactly on a level is within them.
    for (float onLevel : {3.5f, 21.0f}) {
        Load("reply 189 0 0 f:21 f:3.5 f:20.5 f:3.8\n");
        ui.shown.clear();
        t().SetFixedCurrent(onLevel);
        EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 1) << onLevel;
        EXPECT_TRUE(ui.shown.empty()) << onLevel;
    }

    // Levels that cannot be read.
    Load("reply 189 0 0\n");
    ui.shown.clear();
    t().SetFixedCurrent(12.0f);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kAlarmLevelsUnreadable});
}

TEST_F(DocumentTest, FixedCurrentRefusals) {
    // Cancelled at the question: nothing sent.
    Load("");
    t().SetFixedCurrent(4.0f);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, true), 0);
    EXPECT_EQ(lib.SentCount(), 0);

    // Write-protected.
    Load(kProtected);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15}));
    EXPECT_EQ(ui.Ids().back(), str::kWriteProtected);

    // The transmitter refuses the current: its reason, then 1288 with the value.
    Load("reply 40 11 0\n");
    ui.shown.clear();
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    ASSERT_EQ(ui.Ids(), (std::vector<int>{str::kLoopCurrentNotActive, str::kFixedCurrentFailed}));
    EXPECT_EQ(ui.shown[1].text, "Ошибка установки фиксированного тока (4.00 mA)!");
    EXPECT_TRUE(t().GetFieldError(Field::FixedCurrent));

    // No current entered: refused before anything is sent (it would be reported as set otherwise).
    Load("");
    ui.shown.clear();
    t().SetFixedCurrent(NotANumber);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, true), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kNoFixedCurrent});
    EXPECT_EQ(lib.SentCount(), 0);
}

TEST_F(DocumentTest, LeavingFixedCurrent) {
    Load("");
    ASSERT_EQ(doc->SetFixedCurrentMode(false, true), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 40}));
    EXPECT_EQ(FloatAt(SentFrames(lib)[2].data, 0), 0.0f);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kFixedCurrentLeft});

    Load("reply 40 16 0\n");
    ui.shown.clear();
    EXPECT_EQ(doc->SetFixedCurrentMode(false, false), 0);
    ASSERT_EQ(ui.Ids(), (std::vector<int>{str::kAccessRestricted, str::kFixedCurrentResetFailed}));
    EXPECT_EQ(ui.shown[1].text, "Ошибка сброса фиксированного тока!");
}

// --- loop calibration

TEST_F(DocumentTest, LoopCalibrationHappyPath) {
    Load("");
    ASSERT_EQ(doc->StartLoopCalibration(), 1);
    EXPECT_EQ(t().GetFixedCurrent(), 4.0f);
    t().SetLoop4mAMeasured(4.012f);
    ASSERT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Done);
    t().SetFixedCurrent(20.0f);
    ASSERT_EQ(doc->SetFixedCurrentMode(true, false), 1);
    t().SetLoop20mAMeasured(19.98f);
    ASSERT_EQ(doc->CalibrateLoop20mA(), LoopStepResult::Done);
    EXPECT_TRUE(IsSet(t().FixedOutputCurrent()));
    ASSERT_EQ(doc->FinishLoopCalibration(), 1);
    EXPECT_FALSE(IsSet(t().FixedOutputCurrent()));

    const auto frames = SentFrames(lib);
    EXPECT_EQ(SentCommands(lib),
              (std::vector<int>{249, 15, 189, 40, 249, 15, 45, 249, 15, 189, 40, 249, 15, 46, 249, 15, 40}));
    EXPECT_EQ(FloatAt(frames[3].data, 0), 4.0f);
    EXPECT_EQ(FloatAt(frames[6].data, 0), 4.012f);
    EXPECT_EQ(FloatAt(frames[10].data, 0), 20.0f);
    EXPECT_EQ(FloatAt(frames[13].data, 0), 19.98f);
    EXPECT_EQ(FloatAt(frames[16].data, 0), 0.0f);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kLoopCalibrationDone});
}

TEST_F(DocumentTest, LoopCalibrationEndsOnlyWithTheOutputReleased) {
    Load("reply 40 0 0 f:20\n");
    t().SetFixedCurrent(20.0f);
    ASSERT_EQ(doc->SetFixedCurrentMode(true, false), 1);
    EXPECT_EQ(t().FixedOutputCurrent(), 20.0f);
    Load(kProtected); // protected meanwhile: the output cannot be released
    EXPECT_EQ(doc->FinishLoopCalibration(), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kWriteProtected}); // no 1275
    EXPECT_EQ(t().FixedOutputCurrent(), 20.0f);

    // A current the transmitter refused does not fix the output; one that got no answer may have.
    Load("");
    ASSERT_EQ(doc->SetFixedCurrentMode(false, false), 1);
    Load("reply 40 11 0\n");
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    EXPECT_FALSE(IsSet(t().FixedOutputCurrent()));
    Load("step standing\nstep standing\nstep standing\nstep silence\nstep silence\nstep silence\n");
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    EXPECT_EQ(t().FixedOutputCurrent(), 20.0f);
}

TEST_F(DocumentTest, LoopTrimValueRefusedAsTooLargeAsksToRepeat) {
    // "Да": enter the value again, still in fixed-current mode.
    Load("reply 45 3 0\n");
    t().SetLoop4mAMeasured(4.5f);
    ui.answers = {UserAnswer::Yes};
    EXPECT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Again);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kLoopTrimRepeat}); // codes 3 and 4 have no message of their own
    EXPECT_EQ(ui.shown[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 45}));
    EXPECT_TRUE(t().GetFieldError(Field::Loop4mAMeasured));

    // "Нет": fixed-current mode is left quietly.
    Load("reply 46 4 0\n");
    ui.shown.clear();
    t().SetLoop20mAMeasured(18.0f);
    EXPECT_EQ(doc->CalibrateLoop20mA(), LoopStepResult::Abort);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kLoopTrimRepeat});
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 46, 249, 15, 40}));
    EXPECT_EQ(FloatAt(SentFrames(lib)[5].data, 0), 0.0f);
}

TEST_F(DocumentTest, LoopTrimOtherFailuresAbort) {
    Load("reply 45 9 0\n");
    t().SetLoop4mAMeasured(4.0f);
    EXPECT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Abort);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kLoopCurrentModeOrValue, str::kLoop4mAFailed}));
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 45, 249, 15, 40}));

    Load("reply 46 64 0\n");
    ui.shown.clear();
    t().SetLoop20mAMeasured(20.0f);
    EXPECT_EQ(doc->CalibrateLoop20mA(), LoopStepResult::Abort);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kCommandNotImplemented, str::kLoop20mAFailed}));

    // No measured value: nothing to trim, which is no success either.
    Load("");
    ui.shown.clear();
    t().SetLoop4mAMeasured(NotANumber);
    EXPECT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Abort);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kLoop4mAFailed});
    EXPECT_FALSE(Contains(SentCommands(lib), 45));
}

TEST_F(DocumentTest, LoopCalibrationOnAProtectedTransmitterTouchesNothing) {
    Load(kProtected);
    EXPECT_EQ(doc->StartLoopCalibration(), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kWriteProtected});
    t().SetLoop4mAMeasured(4.0f);
    EXPECT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Abort);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 249, 15}));
}

// --- sensor trim

class SensorTrimTest : public DocumentTest {
  protected:
    void SetUp() override {
        t().SetCalUnits(32);
        t().SetTrimLower(0.5f);
        t().SetTrimUpper(99.5f);
    }
};

TEST_F(SensorTrimTest, LowerPointHappyPath) {
    Load("");
    ASSERT_EQ(doc->TrimSensor(kLowerPoint), 1);
    // Writable, range units, sensor type, calibration info, status; user mode already: the trim,
    // the calibration wait, the status again.
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 15, 140, 142, 48, 131, 48}));
    const auto frames = SentFrames(lib);
    EXPECT_EQ(frames[4].data, (std::vector<uint8_t>{0, 32}));
    EXPECT_EQ(frames[6].data[0], 32);
    EXPECT_EQ(FloatAt(frames[6].data, 1), 0.5f); // the user's point, not the one 142 reported
    EXPECT_EQ(wait.waits, std::vector<ProgressWaitMode>{ProgressWaitMode::Calibration});
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kLowerTrimDone});
    EXPECT_EQ(t().GetLowerCalLimit(), -200.0f);
    EXPECT_EQ(t().GetUpperCalLimit(), 850.0f);
}

TEST_F(SensorTrimTest, UpperPointInFactoryModeSwitchesToUserModeFirst) {
    Load("reply 142 0 0 u8:0 u8:32 u8:0 f:850 f:-200 f:100 f:0\n");
    ASSERT_EQ(doc->TrimSensor(kUpperPoint), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 15, 140, 142, 48, 145, 130, 48}));
    EXPECT_EQ(SentFrames(lib)[6].data, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(FloatAt(SentFrames(lib)[7].data, 1), 99.5f);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kUpperTrimDone});
}

TEST_F(SensorTrimTest, TrimThatDidNotTake) {
    Load("step standing\nstep standing\nstep standing\nstep standing\nstep standing\nstep standing\n"
         "step standing\nstep answer 0 0 00 00 08 04 00\n");
    EXPECT_EQ(doc->TrimSensor(kLowerPoint), 0);
    ASSERT_EQ(ui.Ids(), std::vector<int>{str::kTrimPointTooFar});
    EXPECT_EQ(ui.shown[0].icon, MessageIcon::Information);

    // The trim itself refused: no wait, the units and point forgotten.
    Load("reply 131 10 0\n");
    ui.shown.clear();
    wait.waits.clear();
    t().SetCalUnits(32);
    t().SetTrimLower(0.5f);
    EXPECT_EQ(doc->TrimSensor(kLowerPoint), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kProcessTooLow});
    EXPECT_TRUE(wait.waits.empty());
    EXPECT_EQ(t().GetCalUnits(), kUnitsNotSet);
    EXPECT_TRUE(IsNotSet(t().GetTrimLower()));
}

TEST_F(SensorTrimTest, PreparationRefusals) {
    const std::string ohmRange = "reply 15 0 0 u8:0 u8:0 u8:37 f:300 f:20 f:1.5 u8:0 u8:0\n";
    const std::string thermocouple = "reply 140 0 0 u8:0 u8:132 u8:2\n";
    const struct {
        std::string script;
        int calUnits;
        float lower;
        int message;
        std::vector<int> sent;
    } cases[] = {
        {"", kUnitsNotSet, 0.5f, str::kCalUnitsUnreadable, {249, 15}},
        {"step standing\nstep standing\nstep answer 2 0\n",
         32,
         0.5f,
         str::kRangeUnitsUnreadable,
         {249, 15, 15}},
        {"reply 140 2 0\n", 32, 0.5f, str::kSensorTypeUnreadable, {249, 15, 15, 140}},
        {"", kUnitsMillivolt, 0.5f, str::kCalUnitsNotAllowed, {249, 15, 15, 140}}, // mV for a Pt100
        {ohmRange, 32, 0.5f, str::kCalUnitsNotAllowed, {249, 15, 15, 140}},        // ranged in ohm
        {thermocouple, kUnitsOhm, 0.5f, str::kCalUnitsNotAllowed, {249, 15, 15, 140}},
        {"reply 142 12 0\n", 32, 0.5f, str::kCalParametersInvalid, {249, 15, 15, 140, 142}},
        {"reply 142 0 0 u8:0 u8:32 u8:2 f:850 f:-200 f:0 f:0\n",
         32,
         0.5f,
         str::kCalParametersInvalid,
         {249, 15, 15, 140, 142}},
        {"", 32, -250.0f, str::kLowerPointOutOfRange, {249, 15, 15, 140, 142}},
        {"", 32, NotANumber, str::kLowerPointOutOfRange, {249, 15, 15, 140, 142}},
        {"reply 48 2 0\n", 32, 0.5f, str::kStatusUnreadable, {249, 15, 15, 140, 142, 48}},
        {"reply 48 0 0 01 01 80 19 01\n", 32, 0.5f, str::kStatusForbidsTrim, {249, 15, 15, 140, 142, 48}},
        {"reply 142 0 0 u8:0 u8:32 u8:0 f:850 f:-200 f:0 f:0\nreply 145 12 0\n",
         32,
         0.5f,
         str::kUserModeFailed,
         {249, 15, 15, 140, 142, 48, 145}},
    };
    for (const auto& c : cases) {
        Load(c.script);
        ui.shown.clear();
        t().SetCalUnits(c.calUnits);
        t().SetTrimLower(c.lower);
        EXPECT_EQ(doc->PrepareSensorTrim(kLowerPoint), 0) << c.message;
        EXPECT_EQ(ui.Ids().back(), c.message);
        EXPECT_EQ(ui.shown.back().icon, MessageIcon::Stop);
        EXPECT_EQ(SentCommands(lib), c.sent) << c.message;
    }
    // The upper point has its own range message.
    Load("");
    t().SetCalUnits(32);
    t().SetTrimUpper(900.0f);
    EXPECT_EQ(doc->PrepareSensorTrim(kUpperPoint), 0);
    EXPECT_EQ(ui.Ids().back(), str::kUpperPointOutOfRange);
}

TEST_F(DocumentTest, SensorLimitsForTheCalibration) {
    Load("");
    ASSERT_EQ(doc->LoadSensorLimits(), 1);
    EXPECT_EQ(t().GetLimitUnits(), 32);
    EXPECT_EQ(t().GetLowerSensorLimit(), -200.0f);
    EXPECT_EQ(t().GetUpperSensorLimit(), 850.0f);

    Load("reply 14 0 0 u24:0 u8:38 f:850 f:-200 f:10\n");
    EXPECT_EQ(doc->LoadSensorLimits(), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kSensorLimitsUnreadable});
}

// --- return to the factory calibration

TEST_F(DocumentTest, FactoryCalibrationWithoutErrorsNeedsNoReset) {
    Load("");
    ASSERT_EQ(doc->ResetSensorTrim(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 145, 48}));
    EXPECT_EQ(SentFrames(lib)[2].data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kFactoryModeSet});
    EXPECT_TRUE(wait.waits.empty());
}

TEST_F(DocumentTest, FactoryCalibrationResetsATransmitterWithTrimErrors) {
    Load("step standing\nstep standing\nstep standing\nstep answer 0 0 00 00 08 04 00\n");
    ASSERT_EQ(doc->ResetSensorTrim(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 145, 48, 42, 48}));
    EXPECT_EQ(wait.waits, std::vector<ProgressWaitMode>{ProgressWaitMode::Reset});
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kFactoryModeSet});

    // Errors that outlive the reset.
    Load("reply 48 0 0 00 00 08 04 00\n");
    ui.shown.clear();
    EXPECT_EQ(doc->ResetSensorTrim(), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kErrorsAfterReset});
}

TEST_F(DocumentTest, FactoryCalibrationRefusals) {
    const struct {
        std::string script;
        std::vector<int> messages;
    } cases[] = {
        {kProtected, {str::kWriteProtected}},
        {"reply 145 12 0\n", {str::kInvalidCalibrationMode, str::kFactoryModeFailed}},
        {"reply 48 5 0\n", {str::kTooManyDataBytes, str::kStatusUnreadable}},
        {"reply 48 0 0 00 00 08 04 00\nreply 42 16 0\n", {str::kAccessRestricted, str::kResetFailed}},
    };
    for (const auto& c : cases) {
        Load(c.script);
        ui.shown.clear();
        EXPECT_EQ(doc->ResetSensorTrim(), 0);
        EXPECT_EQ(ui.Ids(), c.messages);
    }
}

} // namespace
} // namespace zelhart::hart
