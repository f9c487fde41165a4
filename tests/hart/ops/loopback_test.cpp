// The document against the simulator's device model in-process (libZelHartLoopback.so): a believable
// transmitter that judges every request as the real one would. What is checked is what the
// transmitter ends up holding, read back through the program's own operations.
#include "document_fixture.h"

#include "hart/strings.h"
#include "temp_dir.h"

#include <fstream>

namespace zelhart::hart {
namespace {

using testing::RecordingProgressWait;

class LoopbackTest : public ::testing::Test {
  protected:
    // A transmitter made from `state` (the simulator's state file format; factory values for the rest).
    void Start(const std::string& state = "") {
        static int transmitters = 0; // a new file name makes the loopback start a new transmitter
        const std::string path = dir / ("state" + std::to_string(++transmitters) + ".txt");
        std::ofstream(path) << "format = 1\ndrift = 0\n" << state;
        ::setenv("ZELHART_LOOPBACK_STATE", path.c_str(), 1);
        env.UseLibrary(ZELHART_LOOPBACK);
        env.AddPort(1);
        doc = std::make_unique<CLrxDoc>(settings, ui, wait, clock);
        doc->SetUpdateHandler([this](int hint) {
            if (hint == kHintData) progress.push_back(doc->GetProgress());
        });
    }
    ~LoopbackTest() override { ::unsetenv("ZELHART_LOOPBACK_STATE"); }

    CTransmitter& t() { return doc->Transmitter(); }
    // What the transmitter holds now, read by a second document as the program would.
    std::unique_ptr<CLrxDoc> ReadBack() {
        auto other = std::make_unique<CLrxDoc>(settings, ui, wait, clock);
        EXPECT_EQ(other->ReadFromDevice(), 1);
        return other;
    }
    std::vector<int> Ids() const { return ui.Ids(); }

    zelhart::testing::TempDir dir;
    testing::LinkEnvironment env;
    MemorySettings settings;
    testing::RecordingUi ui;
    testing::FakeClock clock;
    RecordingProgressWait wait;
    std::unique_ptr<CLrxDoc> doc;
    std::vector<int> progress;
};

TEST_F(LoopbackTest, FullReadFillsEveryField) {
    Start();
    ASSERT_EQ(doc->ReadFromDevice(), 1);
    EXPECT_EQ(progress, (std::vector<int>{16, 32, 48, 64, 80, 100, 0}));
    EXPECT_EQ(Ids(), std::vector<int>{str::kReceiveComplete});
    const CTransmitter& m = t();
    EXPECT_EQ(m.GetTag(), u"TT-101  ");
    EXPECT_EQ(m.GetDateDay(), 14);
    EXPECT_EQ(m.GetDateMonth(), 3);
    EXPECT_EQ(m.GetDateYear(), 124);
    EXPECT_EQ(m.GetSensorType(), 1);
    EXPECT_EQ(m.GetSensorConnection(), 3);
    EXPECT_EQ(m.GetRangeUnits(), 32);
    EXPECT_EQ(m.GetLowerRange(), 0.0f);
    EXPECT_EQ(m.GetUpperRange(), 100.0f);
    EXPECT_EQ(m.GetDamping(), 1.0f);
    EXPECT_EQ(m.GetAlarmType(), 0);
    EXPECT_EQ(m.GetWriteProtect(), 0);
    EXPECT_EQ(m.GetLimitUnits(), 32);
    EXPECT_EQ(m.GetLowerSensorLimit(), -200.0f);
    EXPECT_EQ(m.GetUpperSensorLimit(), 850.0f);
    EXPECT_EQ(m.GetFilter(), 1);
    EXPECT_EQ(m.GetFinalAssembly(), 481001);
    EXPECT_EQ(m.GetHighAlarm(), 21.0f);
    EXPECT_EQ(m.GetLowAlarm(), 3.6f);
    EXPECT_EQ(m.GetHighSaturation(), 20.5f);
    EXPECT_EQ(m.GetLowSaturation(), 3.8f);
    EXPECT_EQ(m.GetMeasuredUnits(), 32);
    EXPECT_NEAR(m.GetMeasuredValue(), 21.5f, 0.5f);
    EXPECT_EQ(m.GetDeviceTempUnits(), 32);
    EXPECT_NEAR(m.GetDeviceTemp(), 24.0f, 0.5f);
    EXPECT_NEAR(m.GetLoopCurrent(), 4.0f + 16.0f * 21.5f / 100.0f, 0.1f);
    EXPECT_EQ(m.GetSensorFault(), 0);
    EXPECT_EQ(m.GetDeviceFault(), 0);
    EXPECT_EQ(m.GetArmatureLetter(), 2);
    EXPECT_EQ(m.GetArmatureNumber(), 12);
    EXPECT_EQ(m.GetHead(), 2);
    EXPECT_EQ(m.GetCableEntry(), 1);
    EXPECT_EQ(m.GetExecution(), 3);
    EXPECT_EQ(m.GetMountingLength(), 160);
    EXPECT_EQ(m.GetAssemblyDay(), 14);
    EXPECT_EQ(m.GetAssemblyMonth(), 3);
    EXPECT_EQ(m.GetAssemblyYear(), 124);
    EXPECT_EQ(m.GetThermometerSerial(), 104233);
    EXPECT_EQ(m.GetManufacturerId(), 153);
    EXPECT_EQ(m.GetDeviceType(), 252);
    EXPECT_EQ(m.GetDeviceId(), 0x3A5F21);
    EXPECT_EQ(m.GetUniversalRev(), 5);
    EXPECT_EQ(m.GetSoftwareRev(), 3);
    EXPECT_EQ(m.GetHardwareRev(), 2);
    EXPECT_FALSE(m.GetFieldErrors().Any());
}

TEST_F(LoopbackTest, BasicSettingsReachTheTransmitterAndAnEmptyTagLeavesItsTag) {
    Start();
    t().SetSensorType(132); // thermocouple K
    t().SetSensorConnection(2);
    t().SetRangeUnits(32);
    t().SetLowerRange(-50.0f);
    t().SetUpperRange(600.0f);
    t().SetDamping(2.0f);
    ui.answers = {UserAnswer::Ok};
    ASSERT_EQ(doc->SendBasicSettings(), 1) << ::testing::PrintToString(Ids());
    EXPECT_EQ(Ids(), (std::vector<int>{str::kLoopOutputWillChange, str::kSendComplete}));

    const auto back = ReadBack();
    EXPECT_EQ(back->Transmitter().GetTag(), u"TT-101  ");
    EXPECT_EQ(back->Transmitter().GetSensorType(), 132);
    EXPECT_EQ(back->Transmitter().GetSensorConnection(), 2);
    EXPECT_EQ(back->Transmitter().GetLowerRange(), -50.0f);
    EXPECT_EQ(back->Transmitter().GetUpperRange(), 600.0f);
    EXPECT_EQ(back->Transmitter().GetDamping(), 2.0f);
}

TEST_F(LoopbackTest, SensorNotSetKeepsTheTransmittersSensor) {
    Start("sensor_type = 15\nsensor_connection = 4\n");
    t().SetTag(u"TT-2");
    ui.answers = {UserAnswer::Ok};
    ASSERT_EQ(doc->SendBasicSettings(), 1);
    const auto back = ReadBack();
    EXPECT_EQ(back->Transmitter().GetSensorType(), 15);
    EXPECT_EQ(back->Transmitter().GetSensorConnection(), 4);
    EXPECT_EQ(back->Transmitter().GetTag(), u"TT-2    ");
}

TEST_F(LoopbackTest, RangePointJustBelowTheLimitIsSnappedFurtherBelowIsRefused) {
    Start();
    ASSERT_EQ(doc->ReadFromDevice(), 1);
    t().SetLowerRange(-200.004f);
    EXPECT_EQ(t().WriteRange(), 1);
    EXPECT_EQ(ReadBack()->Transmitter().GetLowerRange(), -200.0f);

    ui.shown.clear();
    t().SetLowerRange(-200.006f);
    EXPECT_EQ(t().WriteRange(), 0);
    EXPECT_TRUE(t().GetFieldError(Field::LowerRange));
    EXPECT_FALSE(t().GetFieldError(Field::UpperRange));
    EXPECT_EQ(Ids(), std::vector<int>{str::kLowerRangeTooLow});
}

TEST_F(LoopbackTest, AlarmLevelRefusalFlagsOnlyTheLevel) {
    Start();
    ASSERT_EQ(t().FindDevice(), 1); // a real transmitter answers long frames to its own address only
    t().SetLowAlarm(3.0f);          // below 3.5 mA
    EXPECT_EQ(t().WriteAlarmLevels(), 0);
    EXPECT_TRUE(t().GetFieldError(Field::LowAlarm));
    EXPECT_FALSE(t().GetFieldError(Field::HighAlarm));
    EXPECT_EQ(Ids(), std::vector<int>{str::kInvalidLowAlarm});
}

TEST_F(LoopbackTest, AdvancedSettingsOnAProtectedTransmitter) {
    Start("write_protect = 1\n");
    t().SetWriteProtect(1);
    t().SetAlarmType(1);
    EXPECT_EQ(doc->SendAdvancedSettings(), 0);
    EXPECT_EQ(Ids(), std::vector<int>{str::kWriteProtected});
    EXPECT_EQ(ReadBack()->Transmitter().GetAlarmType(), 0); // nothing was written

    ui.shown.clear();
    t().SetWriteProtect(0);
    EXPECT_EQ(doc->SendAdvancedSettings(), 1);
    EXPECT_EQ(Ids(), std::vector<int>{str::kSendComplete});
    const auto back = ReadBack();
    EXPECT_EQ(back->Transmitter().GetWriteProtect(), 0);
    EXPECT_EQ(back->Transmitter().GetAlarmType(), 1);
}

TEST_F(LoopbackTest, FixedCurrentAndLoopCalibration) {
    Start();
    t().SetFixedCurrent(12.0f);
    ui.answers = {UserAnswer::Ok};
    ASSERT_EQ(doc->SetFixedCurrentMode(true, true), 1);
    EXPECT_EQ(ui.shown.back().text, "Фиксированный ток (12.00 mA) успешно установлен!");
    doc->RefreshMonitor();
    EXPECT_EQ(t().GetLoopCurrent(), 12.0f);
    ASSERT_EQ(doc->SetFixedCurrentMode(false, true), 1);

    ASSERT_EQ(doc->StartLoopCalibration(), 1);
    t().SetLoop4mAMeasured(4.02f);
    EXPECT_EQ(doc->CalibrateLoop4mA(), LoopStepResult::Done);
    t().SetFixedCurrent(20.0f);
    ASSERT_EQ(doc->SetFixedCurrentMode(true, false), 1);
    t().SetLoop20mAMeasured(19.97f);
    EXPECT_EQ(doc->CalibrateLoop20mA(), LoopStepResult::Done);
    EXPECT_EQ(doc->SetFixedCurrentMode(false, false), 1);

    // A fixed current below the low alarm level is refused before it is sent.
    ui.shown.clear();
    t().SetFixedCurrent(3.0f);
    EXPECT_EQ(doc->SetFixedCurrentMode(true, false), 0);
    EXPECT_EQ(ui.shown.back().text,
              "Записываемое значение фиксированного тока ниже нижнего уровня аварии! (3.60 mA)");
}

TEST_F(LoopbackTest, SensorTrimHappyPathAndRefusals) {
    Start("process_value = 21.5\n");
    t().SetCalUnits(32);
    t().SetTrimLower(21.5f);
    ASSERT_EQ(doc->TrimSensor(kLowerPoint), 1) << ::testing::PrintToString(Ids());
    EXPECT_EQ(wait.waits, std::vector<ProgressWaitMode>{ProgressWaitMode::Calibration});
    EXPECT_EQ(Ids(), std::vector<int>{str::kLowerTrimDone});

    // A point far from what the sensor measures is answered but not taken.
    ui.shown.clear();
    t().SetCalUnits(32);
    t().SetTrimUpper(300.0f);
    EXPECT_EQ(doc->TrimSensor(kUpperPoint), 0);
    EXPECT_EQ(Ids(), std::vector<int>{str::kTrimPointTooFar});

    ui.shown.clear();
    t().SetCalUnits(kUnitsMillivolt);
    EXPECT_EQ(doc->TrimSensor(kLowerPoint), 0);
    EXPECT_EQ(Ids(), std::vector<int>{str::kCalUnitsNotAllowed});

    ui.shown.clear();
    t().SetCalUnits(32);
    t().SetTrimLower(-300.0f);
    EXPECT_EQ(doc->TrimSensor(kLowerPoint), 0);
    EXPECT_EQ(Ids(), std::vector<int>{str::kLowerPointOutOfRange});

    // Back to the factory calibration: the failed trim left an error the reset clears.
    ui.shown.clear();
    wait.waits.clear();
    EXPECT_EQ(doc->ResetSensorTrim(), 1) << ::testing::PrintToString(Ids());
    EXPECT_EQ(Ids().back(), str::kFactoryModeSet);
}

TEST_F(LoopbackTest, CalibrationOnAProtectedTransmitterIsRefused) {
    Start("write_protect = 1\n");
    EXPECT_EQ(doc->StartLoopCalibration(), 0);
    EXPECT_EQ(doc->ResetSensorTrim(), 0);
    EXPECT_EQ(doc->LoadSensorLimits(), 0);
    EXPECT_EQ(Ids(), (std::vector<int>{str::kWriteProtected, str::kWriteProtected, str::kWriteProtected}));
}

TEST_F(LoopbackTest, ASilentTransmitterIsNotFound) {
    Start();
    ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
    ui.answers = {UserAnswer::Retry, UserAnswer::Cancel};
    EXPECT_EQ(doc->CheckConnection(false), 0);
    ::unsetenv("ZELHART_LOOPBACK_SILENT");
    EXPECT_EQ(Ids(), (std::vector<int>{str::kSensorNotFound, str::kSensorNotFound}));
}

} // namespace
} // namespace zelhart::hart
