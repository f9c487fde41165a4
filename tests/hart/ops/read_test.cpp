// Reading the whole configuration, the connection check and the monitoring poll.
#include "document_fixture.h"

#include "hart/strings.h"

namespace zelhart::hart {
namespace {

using testing::Contains;
using testing::DocumentTest;
using testing::kKorvel;
using testing::SentCommands;

// Thermometer parameters in the order of the read, each with its own value bytes.
const std::string kThermometerSteps = "step answer 0 0 01 00 6C 02 03 00 00\n"  // armature B3
                                      "step answer 0 0 01 00 4C 01 00 00 00\n"  // head 1
                                      "step answer 0 0 01 00 4A 02 00 00 00\n"  // cable entry 2
                                      "step answer 0 0 01 00 4B 05 00 00 00\n"  // execution 5
                                      "step answer 0 0 01 00 6E 01 F4 00 00\n"  // 500 mm
                                      "step answer 0 0 01 00 4D 12 06 7C 00\n"  // 18.06.2024
                                      "step answer 0 0 01 00 C2 01 E2 40 00\n"; // serial 123456

// 249, 13, 140, 15, 14 from the standing answers.
const std::string kFirstFiveStandard =
    "step standing\nstep standing\nstep standing\nstep standing\nstep standing\n";

TEST_F(DocumentTest, FullReadFillsEveryFieldAndStepsTheProgress) {
    Load(kFirstFiveStandard + "step standing\nstep standing\nstep standing\nstep standing\nstep standing\n" +
         "step answer 0 128 00 00 00 00 01\n" + kThermometerSteps);
    ASSERT_EQ(doc->ReadFromDevice(), 1);

    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 13, 140, 15, 14, 150, 16, 189, 33, 3, 48, 139, 139,
                                                   139, 139, 139, 139, 139}));
    const CTransmitter& m = t();
    EXPECT_EQ(m.GetTag(), u"TT-101  ");
    EXPECT_EQ(m.GetDateDay(), 17);
    EXPECT_EQ(m.GetDateMonth(), 5);
    EXPECT_EQ(m.GetDateYear(), 124);
    EXPECT_EQ(m.GetSensorType(), 1);
    EXPECT_EQ(m.GetSensorConnection(), 3);
    EXPECT_EQ(m.GetAlarmType(), 0);
    EXPECT_EQ(m.GetRangeUnits(), 32);
    EXPECT_EQ(m.GetUpperRange(), 100.0f);
    EXPECT_EQ(m.GetLowerRange(), 0.0f);
    EXPECT_EQ(m.GetDamping(), 1.5f);
    EXPECT_EQ(m.GetWriteProtect(), 0);
    EXPECT_EQ(m.GetLimitUnits(), 32);
    EXPECT_EQ(m.GetUpperSensorLimit(), 850.0f);
    EXPECT_EQ(m.GetLowerSensorLimit(), -200.0f);
    EXPECT_EQ(m.GetFilter(), 1);
    EXPECT_EQ(m.GetFinalAssembly(), 4810);
    EXPECT_EQ(m.GetHighAlarm(), 21.0f);
    EXPECT_EQ(m.GetLowAlarm(), 3.6f);
    EXPECT_EQ(m.GetHighSaturation(), 20.5f);
    EXPECT_EQ(m.GetLowSaturation(), 3.8f);
    EXPECT_EQ(m.GetDeviceTempUnits(), 32);
    EXPECT_EQ(m.GetDeviceTemp(), 24.5f);
    EXPECT_EQ(m.GetMeasuredUnits(), 32);
    EXPECT_EQ(m.GetMeasuredValue(), 36.6f);
    EXPECT_EQ(m.GetLoopCurrent(), 12.0f);
    EXPECT_EQ(m.GetSensorFault(), 1); // bit 0 of the fifth status byte, whatever the device status says
    EXPECT_EQ(m.GetDeviceFault(), 0);
    EXPECT_EQ(m.GetArmatureLetter(), 2);
    EXPECT_EQ(m.GetArmatureNumber(), 3);
    EXPECT_EQ(m.GetHead(), 1);
    EXPECT_EQ(m.GetCableEntry(), 2);
    EXPECT_EQ(m.GetExecution(), 5);
    EXPECT_EQ(m.GetMountingLength(), 500);
    EXPECT_EQ(m.GetAssemblyDay(), 18);
    EXPECT_EQ(m.GetAssemblyMonth(), 6);
    EXPECT_EQ(m.GetAssemblyYear(), 124);
    EXPECT_EQ(m.GetThermometerSerial(), 123456);
    EXPECT_EQ(m.GetManufacturerId(), 153);
    EXPECT_EQ(m.GetDeviceType(), 252);
    EXPECT_EQ(m.GetDeviceId(), 104810);
    EXPECT_EQ(m.GetUniversalRev(), 7);
    EXPECT_EQ(m.GetDeviceRev(), 1);
    EXPECT_EQ(m.GetSoftwareRev(), 3);
    EXPECT_EQ(m.GetHardwareRev(), 1);
    EXPECT_FALSE(m.GetFieldErrors().Any());

    EXPECT_EQ(hints, (std::vector<int>{4, 0, 0, 0, 0, 0, 0, 2, 0, 3}));
    EXPECT_EQ(progress, (std::vector<int>{16, 32, 48, 64, 80, 100, 0}));
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kReceiveComplete});
    EXPECT_TRUE(doc->IsModified());
    EXPECT_EQ(doc->GetCleared(), 0);
    EXPECT_EQ(ui.waitDepth, 0);
}

TEST_F(DocumentTest, AFailedThirdStepLeavesOnlyTheLaterStepsFilled) {
    Load(kFirstFiveStandard + "step answer 64 0\n" +
         "step standing\nstep standing\nstep standing\nstep standing\n" + kThermometerSteps);
    EXPECT_EQ(doc->ReadFromDevice(), 0);

    // 16 belongs to the failed step and is not sent; the steps after it are.
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 13, 140, 15, 14, 150, 189, 33, 3, 48, 139, 139, 139,
                                                   139, 139, 139, 139}));
    const CTransmitter& m = t();
    // Steps 1-3: not set.
    EXPECT_TRUE(m.GetTag().empty());
    EXPECT_EQ(m.GetSensorType(), kSensorNone);
    EXPECT_EQ(m.GetSensorConnection(), kSensorNone);
    EXPECT_EQ(m.GetRangeUnits(), kUnitsNotSet);
    EXPECT_TRUE(IsNotSet(m.GetUpperRange()));
    EXPECT_TRUE(IsNotSet(m.GetLowerRange()));
    EXPECT_TRUE(IsNotSet(m.GetDamping()));
    EXPECT_EQ(m.GetAlarmType(), kCodeNotSet);
    EXPECT_EQ(m.GetWriteProtect(), kCodeNotSet);
    EXPECT_EQ(m.GetLimitUnits(), kUnitsNotSet);
    EXPECT_TRUE(IsNotSet(m.GetUpperSensorLimit()));
    EXPECT_EQ(m.GetFilter(), kCodeNotSet);
    EXPECT_EQ(m.GetFinalAssembly(), 0);
    EXPECT_EQ(m.GetUniversalRev(), 0);
    // Steps 4-6: filled.
    EXPECT_EQ(m.GetHighAlarm(), 21.0f);
    EXPECT_EQ(m.GetLowSaturation(), 3.8f);
    EXPECT_EQ(m.GetMeasuredValue(), 36.6f);
    EXPECT_EQ(m.GetDeviceTemp(), 24.5f);
    EXPECT_EQ(m.GetLoopCurrent(), 12.0f);
    EXPECT_EQ(m.GetHead(), 1);
    EXPECT_EQ(m.GetMountingLength(), 500);
    EXPECT_EQ(m.GetThermometerSerial(), 123456);

    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kCommandNotImplemented, str::kReceiveComplete}));
    EXPECT_EQ(progress, (std::vector<int>{16, 32, 48, 64, 80, 100, 0}));
    EXPECT_EQ(doc->GetCleared(), 0); // it holds the data of the later steps
}

TEST_F(DocumentTest, AFailedCommandEndsItsStepAndResetsOnlyItsFields) {
    Load("step answer 0 0 a8:AB a16:D u8:1 u8:2 u8:3\nstep answer 16 0\n");
    EXPECT_EQ(t().ReadTagAndSensor(), 0);
    EXPECT_EQ(t().GetTag(), u"AB      ");
    EXPECT_EQ(t().GetSensorType(), kSensorNone);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kAccessRestricted});

    // 189 fails: the levels are not set, 33 and 3 are not sent.
    Load("step answer 5 0\n");
    t().SetHighAlarm(22.0f);
    EXPECT_EQ(t().ReadLevelsAndVariables(), 0);
    EXPECT_TRUE(IsNotSet(t().GetHighAlarm()));
    EXPECT_EQ(SentCommands(lib), std::vector<int>{189});

    // The serial number is the last parameter; its failure leaves it 0 and the others read.
    Load(kThermometerSteps.substr(0, kThermometerSteps.rfind("step")) + "step answer 2 0\n");
    t().SetThermometerSerial(77);
    EXPECT_EQ(t().ReadThermometerData(), 0);
    EXPECT_EQ(t().GetThermometerSerial(), 0);
    EXPECT_EQ(t().GetAssemblyDay(), 18);

    // A failure in the middle stops the step: the parameters after it are not asked for.
    Load("step standing\nstep answer 2 0\n");
    EXPECT_EQ(t().ReadThermometerData(), 0);
    EXPECT_EQ(SentCommands(lib).size(), 2u);
}

TEST_F(DocumentTest, WarningEightIsAcceptedByTheReadSteps) {
    Load("step answer 8 0 u8:1\nstep answer 8 0 u24:99\n");
    EXPECT_EQ(t().ReadFilterAndAssembly(), 1);
    EXPECT_EQ(t().GetFilter(), 1);
    EXPECT_EQ(t().GetFinalAssembly(), 99);
    // The warning is shown each time, the values are taken.
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kUpdateFailed, str::kUpdateFailed}));
}

TEST_F(DocumentTest, FaultRule) {
    struct Case {
        const char* answer; // device status byte (decimal), then the five additional status bytes
        int sensor, device;
    } cases[] = {
        {"128 00 00 00 00 00", 0, 1}, // malfunction
        {"128 00 00 00 00 02", 1, 0}, // a sensor fault hides the malfunction
        {"64 00 00 00 00 00", 0, 0},  // configuration changed: ignored
        {"0 FF FF FF FF 04", 0, 0},   // only bits 0-1 of the fifth byte count
    };
    for (const Case& c : cases) {
        Load(std::string("step answer 0 ") + c.answer + "\n");
        ASSERT_EQ(t().ReadFaultStatus(), 1);
        EXPECT_EQ(t().GetSensorFault(), c.sensor) << c.answer;
        EXPECT_EQ(t().GetDeviceFault(), c.device) << c.answer;
    }
}

TEST_F(DocumentTest, IdentityOfAnotherDeviceIsNotTheTransmitter) {
    lib.Load("reply 249 0 0 FE 26 06 05 07 01 03 08 00 u24:77\n");
    EXPECT_EQ(t().FindDevice(), 0);
    EXPECT_EQ(t().GetManufacturerId(), 0x26);
    EXPECT_EQ(t().GetDeviceId(), 0);
    EXPECT_TRUE(ui.shown.empty()); // FindDevice reports nothing itself
}

TEST_F(DocumentTest, ConnectionCheckAsksToRetryOrAnnounces) {
    // Not found, retried, found: nothing more is said without announcing.
    lib.Load("step silence\nstep silence\nstep silence\n" + kKorvel);
    ui.answers = {UserAnswer::Retry};
    EXPECT_EQ(doc->CheckConnection(false), 1);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kSensorNotFound});
    EXPECT_EQ(ui.shown[0].buttons, MessageButtons::RetryCancel);
    EXPECT_EQ(ui.waitDepth, 0);

    ui.shown.clear();
    EXPECT_EQ(doc->CheckConnection(true), 1);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kSensorFound});

    ui.shown.clear();
    lib.Load("");
    EXPECT_EQ(doc->CheckConnection(true), 0);
    ASSERT_EQ(ui.Ids(), std::vector<int>{str::kSensorNotFound});
    EXPECT_FALSE(ui.shown[0].question);
    EXPECT_EQ(ui.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(ui.waitDepth, 0);
}

TEST_F(DocumentTest, ReadWithoutTransmitterClearsTheDocumentWhenCancelled) {
    lib.Load(""); // silence
    t().SetDamping(2.0f);
    ASSERT_EQ(doc->GetCleared(), 0);
    ui.answers = {UserAnswer::Yes, UserAnswer::Cancel};
    EXPECT_EQ(doc->ReadFromDevice(), 0);
    EXPECT_EQ(ui.Ids(), (std::vector<int>{str::kDataWillBeLost, str::kSensorNotFound}));
    EXPECT_TRUE(IsNotSet(t().GetDamping()));
    EXPECT_EQ(doc->GetCleared(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 249, 249}));
}

TEST_F(DocumentTest, ReadAsksBeforeDiscardingDataAndStopsOnNo) {
    Load("");
    t().SetTag(u"EDITED"); // an edit: modified, holding data
    ASSERT_TRUE(doc->WouldLoseData());
    ui.answers = {UserAnswer::No};
    EXPECT_EQ(doc->ReadFromDevice(), 0);
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kDataWillBeLost});
    EXPECT_EQ(lib.SentCount(), 0);
    EXPECT_EQ(t().GetTag(), u"EDITED");
}

TEST_F(DocumentTest, MonitoringPollStopsAtTheFirstFailure) {
    Load("");
    ASSERT_EQ(doc->RefreshMonitor(), 1);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{16, 13, 33, 3, 48}));
    EXPECT_EQ(t().GetFinalAssembly(), 4810);
    EXPECT_EQ(t().GetDateDay(), 17);
    EXPECT_EQ(t().GetMeasuredValue(), 36.6f);
    EXPECT_EQ(t().GetLoopCurrent(), 12.0f);
    EXPECT_TRUE(t().GetTag().empty()); // the poll takes only the date of command 13

    Load("step standing\nstep standing\nstep answer 2 0\n");
    EXPECT_EQ(doc->RefreshMonitor(), 0);
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{16, 13, 33}));
    EXPECT_EQ(t().GetMeasuredUnits(), kUnitsNotSet);
    EXPECT_TRUE(IsNotSet(t().GetMeasuredValue()));
    EXPECT_EQ(t().GetLoopCurrent(), 12.0f); // not reached
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kInvalidSelection});
}

} // namespace
} // namespace zelhart::hart
