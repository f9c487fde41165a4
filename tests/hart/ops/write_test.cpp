// Sending the basic and advanced settings: skip rules, the range snapping, which field a rejection
// flags, and what the send operations say at the end.
#include "document_fixture.h"

#include "hart/fields.h"
#include "hart/strings.h"

namespace zelhart::hart {
namespace {

using testing::DocumentTest;
using testing::FloatAt;
using testing::SentCommands;
using testing::SentFrames;

class SendTest : public DocumentTest {
  protected:
    // The basic settings of a Pt100 in three-wire connection, 0..100 °C, 1.5 s, no tag.
    void SetBasic() {
        t().SetSensorType(1);
        t().SetSensorConnection(3);
        t().SetRangeUnits(32);
        t().SetLowerRange(0.0f);
        t().SetUpperRange(100.0f);
        t().SetDamping(1.5f);
    }
    // The fields of step `index` flagged; the others not.
    std::vector<Field> Flagged() const {
        std::vector<Field> f;
        for (size_t i = 0; i < kFieldCount; ++i)
            if (doc->Transmitter().GetFieldError(Field(i))) f.push_back(Field(i));
        return f;
    }
};

TEST_F(SendTest, BasicSettingsWithAnEmptyTagSendNoTagCommand) {
    Load("");
    SetBasic();
    ui.answers = {UserAnswer::Ok};
    EXPECT_EQ(doc->SendBasicSettings(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 140, 141, 44, 15, 14, 35, 34}));
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kLoopOutputWillChange, str::kSendComplete}));
    EXPECT_EQ(ui.shown[0].buttons, MessageButtons::OkCancel);
    EXPECT_EQ(progress, (std::vector<int>{20, 40, 60, 80, 100, 0}));
    EXPECT_EQ(ui.waitDepth, 0);
}

TEST_F(SendTest, BasicSettingsCancelledOrProtectedSendNothing) {
    Load("reply 15 0 0 u8:0 u8:0 u8:32 f:100 f:0 f:1.5 u8:1 u8:0\n");
    SetBasic();
    EXPECT_EQ(doc->SendBasicSettings(), 0); // the question is answered "Отмена"
    EXPECT_EQ(lib.SentCount(), 0);

    ui.answers = {UserAnswer::Ok};
    EXPECT_EQ(doc->SendBasicSettings(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15}));
    EXPECT_EQ(ui.Ids().back(), str::kWriteProtected);
}

TEST_F(SendTest, SensorTypeAndConnectionNotSetSendNeitherReadNorWrite) {
    Load("");
    SetBasic();
    t().SetSensorType(kSensorNone);
    t().SetSensorConnection(kSensorNone);
    t().SetTag(u"TT-7");
    ui.answers = {UserAnswer::Ok};
    EXPECT_EQ(doc->SendBasicSettings(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 44, 15, 14, 35, 34, 13, 18}));
}

TEST_F(SendTest, SensorConfigTakesTheTransmittersValueForTheFieldNotSet) {
    Load("");
    t().SetSensorType(15); // Pt100 (a = 0.00391), connection left to the transmitter
    ASSERT_EQ(t().WriteSensorConfig(), 1);
    const auto frames = SentFrames(lib);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].command, 141);
    EXPECT_EQ(frames[1].data, (std::vector<uint8_t>{0, 15, 3}));

    // Warning 8 to 141 passes without a word.
    Load("step standing\nstep answer 8 0 u8:0 u8:14 u8:3\n");
    EXPECT_EQ(t().WriteSensorConfig(), 1);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(SendTest, SensorConfigRejectionFlagsTheFieldNamedByTheCode) {
    const struct {
        const char* steps;
        bool type, connection;
    } cases[] = {
        {"step standing\nstep answer 11 0\n", true, false},
        {"step standing\nstep answer 12 0\n", false, true},
        {"step standing\nstep answer 2 0\n", true, false}, // other codes: each field that is set
        {"step answer 2 0\n", true, false},                // 140 failed
    };
    for (const auto& c : cases) {
        Load(c.steps);
        t().SetSensorType(1);
        t().SetSensorConnection(kSensorNone);
        t().SetFieldError(Field::SensorConnection, true);
        EXPECT_EQ(t().WriteSensorConfig(), 0) << c.steps;
        EXPECT_EQ(t().GetFieldError(Field::SensorType), c.type) << c.steps;
        EXPECT_EQ(t().GetFieldError(Field::SensorConnection), c.connection) << c.steps;
    }
}

TEST_F(SendTest, RangePointsJustOutsideTheLimitsAreSnappedToThem) {
    // Limits -200..850 °C from command 14; the model's limits are in the same units.
    struct Case {
        float lower, upper;
        int32_t limitUnits;
        float sentLower, sentUpper;
    } cases[] = {
        {-200.004f, 850.004f, 32, -200.0f, 850.0f},
        {-200.006f, 850.006f, 32, -200.006f, 850.006f}, // the transmitter judges these
        {-200.004f, 850.004f, 35, -200.004f, 850.004f}, // the model's limits in other units
        {-199.0f, 849.0f, 32, -199.0f, 849.0f},
    };
    for (const Case& c : cases) {
        Load("");
        t().SetLowerRange(c.lower);
        t().SetUpperRange(c.upper);
        t().SetLimitUnits(c.limitUnits);
        EXPECT_EQ(t().WriteRange(), 1);
        const auto frames = SentFrames(lib);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(frames[2].command, 35);
        EXPECT_EQ(frames[2].data[0], 32); // the units the transmitter reported
        EXPECT_EQ(FloatAt(frames[2].data, 1), c.sentUpper) << c.upper;
        EXPECT_EQ(FloatAt(frames[2].data, 5), c.sentLower) << c.lower;
        EXPECT_EQ(t().GetLowerRange(), c.lower); // the model keeps what the user entered
    }
}

TEST_F(SendTest, RangeTakesTheTransmittersPointWhereTheModelHasNone) {
    Load("");
    t().SetUpperRange(150.0f);
    ASSERT_EQ(t().WriteRange(), 1);
    const auto frames = SentFrames(lib);
    EXPECT_EQ(FloatAt(frames[2].data, 1), 150.0f);
    EXPECT_EQ(FloatAt(frames[2].data, 5), 0.0f);

    Load("");
    t().SetUpperRange(NotANumber);
    EXPECT_EQ(t().WriteRange(), 1); // neither point set: nothing sent
    EXPECT_EQ(lib.SentCount(), 0);
}

TEST_F(SendTest, RangeRejectionFlagsThePointNamedByTheCode) {
    const struct {
        int code;
        bool lower, upper;
    } cases[] = {{9, true, false}, {10, true, false}, {11, false, true}, {12, false, true}, {13, true, true}};
    for (const auto& c : cases) {
        Load("step standing\nstep standing\nstep answer " + std::to_string(c.code) + " 0\n");
        t().SetLowerRange(0.0f);
        t().SetUpperRange(100.0f);
        EXPECT_EQ(t().WriteRange(), 0);
        EXPECT_EQ(t().GetFieldError(Field::LowerRange), c.lower) << c.code;
        EXPECT_EQ(t().GetFieldError(Field::UpperRange), c.upper) << c.code;
        // After the rejection the limits are read again.
        EXPECT_EQ(SentCommands(lib), (std::vector<int>{15, 14, 35, 14}));
        EXPECT_EQ(t().GetUpperSensorLimit(), 850.0f);
    }
    Load("step standing\nstep standing\nstep answer 9 0\n");
    t().SetLowerRange(0.0f);
    t().WriteRange();
    EXPECT_EQ(ui.Ids().back(), str::kLowerRangeTooHigh);
}

TEST_F(SendTest, RangeFailuresBeforeTheWrite) {
    // 15 refused: both points that are set are flagged, then the limits are read.
    Load("step answer 8 0\nstep answer 64 0\n");
    t().SetLowerRange(1.0f);
    EXPECT_EQ(t().WriteRange(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{15, 14}));
    EXPECT_TRUE(t().GetFieldError(Field::LowerRange));
    EXPECT_FALSE(t().GetFieldError(Field::UpperRange));
    EXPECT_EQ(t().GetLimitUnits(), kUnitsNotSet);
    EXPECT_TRUE(IsNotSet(t().GetLowerSensorLimit()));

    // 14 refused before the write: nothing written.
    Load("step standing\nstep answer 2 0\n");
    t().SetLowerRange(1.0f);
    EXPECT_EQ(t().WriteRange(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{15, 14}));
}

TEST_F(SendTest, AlarmLevelRejectionFlagsTheLevelNamedByTheCode) {
    const struct {
        int code;
        Field only;
    } cases[] = {{10, Field::HighAlarm},
                 {11, Field::HighSaturation},
                 {12, Field::LowAlarm},
                 {13, Field::LowSaturation}};
    for (const auto& c : cases) {
        Load("step standing\nstep answer " + std::to_string(c.code) + " 0\n");
        t().SetHighAlarm(21.5f);
        t().SetLowAlarm(3.55f);
        t().SetHighSaturation(20.6f);
        t().SetLowSaturation(3.75f);
        EXPECT_EQ(t().WriteAlarmLevels(), 0);
        EXPECT_EQ(Flagged(), std::vector<Field>{c.only}) << c.code;
    }
    Load("step standing\nstep answer 12 0\n");
    t().SetLowAlarm(3.55f);
    t().WriteAlarmLevels();
    EXPECT_EQ(ui.Ids().back(), str::kInvalidLowAlarm);
}

TEST_F(SendTest, AlarmLevelsNotSetAreTakenFromTheTransmitter) {
    Load("");
    t().SetHighAlarm(22.0f);
    ASSERT_EQ(t().WriteAlarmLevels(), 1);
    const auto frames = SentFrames(lib);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].command, 155);
    EXPECT_EQ(FloatAt(frames[1].data, 0), 22.0f);
    EXPECT_EQ(FloatAt(frames[1].data, 4), 3.6f);
    EXPECT_EQ(FloatAt(frames[1].data, 8), 20.5f);
    EXPECT_EQ(FloatAt(frames[1].data, 12), 3.8f);

    // Another code: every level that is set is flagged.
    Load("step standing\nstep answer 7 0\n");
    t().SetHighAlarm(22.0f);
    t().SetLowSaturation(3.9f);
    EXPECT_EQ(t().WriteAlarmLevels(), 0);
    EXPECT_EQ(Flagged(), (std::vector<Field>{Field::HighAlarm, Field::LowSaturation}));
}

TEST_F(SendTest, DampingWarningIsShownAndTheEchoKept) {
    Load("step answer 8 0 f:0.5\n");
    t().SetDamping(0.2f);
    EXPECT_EQ(t().WriteDamping(), 1);
    EXPECT_EQ(t().GetDamping(), 0.5f);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kDampingRounded});

    Load("step answer 7 0\n");
    EXPECT_EQ(t().WriteDamping(), 0);
    EXPECT_TRUE(t().GetFieldError(Field::Damping));
    EXPECT_EQ(t().GetDamping(), 0.5f);
}

TEST_F(SendTest, TagIsSentWithTheTransmittersDescriptorAndDate) {
    Load("reply 18 0 0 a8:ABC a16:KORVEL_4810 u8:17 u8:5 u8:124\n");
    t().SetTag(u"abc");
    ASSERT_EQ(t().WriteTag(), 1);
    const auto frames = SentFrames(lib);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, 13);
    ASSERT_EQ(frames[1].command, 18);
    ASSERT_EQ(frames[1].data.size(), 21u);
    EXPECT_EQ(UnpackAscii(std::span(frames[1].data).first(6), 8), "ABC     ");
    EXPECT_EQ(UnpackAscii(std::span(frames[1].data).subspan(6, 12), 16), "KORVEL 4810     ");
    EXPECT_EQ(std::vector<uint8_t>(frames[1].data.begin() + 18, frames[1].data.end()),
              (std::vector<uint8_t>{17, 5, 124}));
    EXPECT_EQ(t().GetTag(), u"ABC     "); // the echo
}

TEST_F(SendTest, AdvancedSettingsOnAProtectedTransmitter) {
    const std::string protectedTransmitter = "reply 15 0 0 u8:0 u8:0 u8:32 f:100 f:0 f:1.5 u8:1 u8:0\n";
    // Protection wanted: message 1004 and nothing written.
    Load(protectedTransmitter);
    t().SetWriteProtect(1);
    t().SetAlarmType(1);
    EXPECT_EQ(doc->SendAdvancedSettings(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15}));
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kWriteProtected});

    // Protection off: removed first, then the others follow.
    ui.shown.clear();
    Load(protectedTransmitter);
    t().SetWriteProtect(0);
    t().SetAlarmType(1);
    t().SetLowAlarm(3.6f);
    t().SetFilter(0);
    EXPECT_EQ(doc->SendAdvancedSettings(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 195, 162, 189, 155, 151, 14}));
    EXPECT_EQ(SentFrames(lib)[1].data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kSendComplete});
    EXPECT_EQ(progress.back(), 0);
}

TEST_F(SendTest, ProtectionOnIsWrittenLastAndTheLimitsReadBack) {
    Load("reply 195 0 0 u24:0 u8:1\nreply 14 0 0 u24:0 u8:33 f:1562 f:-328 f:10\n");
    t().SetWriteProtect(1);
    ASSERT_EQ(doc->SendAdvancedSettings(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 195, 14}));
    EXPECT_EQ(SentFrames(lib)[2].data, (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(t().GetLimitUnits(), 33);
    EXPECT_EQ(t().GetUpperSensorLimit(), 1562.0f);

    Load("step answer 7 0\n");
    EXPECT_EQ(t().WriteProtectionOn(), 0);
    EXPECT_TRUE(t().GetFieldError(Field::WriteProtect));
    EXPECT_EQ(SentCommands(lib).size(), 1u); // 14 not reached
}

TEST_F(SendTest, ARejectedStepIsNotFollowedBySuccess) {
    // The range is refused; the tag after it goes through. The user hears of the refusal only.
    Load("step standing\nstep standing\nstep standing\nstep standing\nstep standing\nstep standing\n"
         "step standing\nstep answer 9 0\n");
    SetBasic();
    t().SetTag(u"TT-9");
    ui.answers = {UserAnswer::Ok};
    EXPECT_EQ(doc->SendBasicSettings(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 140, 141, 44, 15, 14, 35, 14, 34, 13, 18}));
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kLoopOutputWillChange, str::kLowerRangeTooHigh}));
    EXPECT_TRUE(t().GetFieldError(Field::LowerRange));
    EXPECT_EQ(progress, (std::vector<int>{20, 40, 60, 80, 0}));
}

TEST_F(SendTest, CodesAreWrittenAndTheirEchoesKept) {
    Load("reply 151 0 0 u8:0\n");
    t().SetFilter(1);
    EXPECT_EQ(t().WriteFilter(), 1);
    EXPECT_EQ(t().GetFilter(), 0);

    Load("step answer 16 0\n");
    t().SetRangeUnits(33);
    EXPECT_EQ(t().WriteRangeUnits(), 0);
    EXPECT_TRUE(t().GetFieldError(Field::RangeUnits));
    EXPECT_EQ(t().GetRangeUnits(), 33);

    Load("");
    t().SetAlarmType(kCodeNotSet);
    t().SetRangeUnits(kUnitsNotSet);
    t().SetFilter(kCodeNotSet);
    t().SetWriteProtect(1);
    EXPECT_EQ(t().WriteAlarmType(), 1);
    EXPECT_EQ(t().WriteRangeUnits(), 1);
    EXPECT_EQ(t().WriteFilter(), 1);
    EXPECT_EQ(t().WriteProtectionOff(), 1);
    EXPECT_EQ(lib.SentCount(), 0);
}

} // namespace
} // namespace zelhart::hart
