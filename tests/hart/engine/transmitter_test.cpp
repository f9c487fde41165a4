// The transaction engine's decisions, through the real dlopen path with the interface library double.
#include "transmitter_fixture.h"

#include "hart/strings.h"

#include <zelhart/platform/modem_lines.h>
#include <zelhart/platform/serial_port.h>

#include <map>

namespace zelhart::hart {
namespace {

using testing::Hex;
using testing::TransmitterTest;

constexpr const char* kKorvelIdentity = "reply 249 0 0 FE 99 FC 05 07 01 03 08 00 12 34 56\n";
const std::vector<uint8_t> kPreamble(6, 0xFF);

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(TransmitterTest, IdentityIsAskedAndStoredAndTheLinkClosed) {
    lib.Load(kKorvelIdentity);
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    ASSERT_EQ(lib.SentCount(), 1);
    EXPECT_EQ(lib.Sent()[0],
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}));
    EXPECT_FALSE(transmitter->IsLinkOpen());
    EXPECT_FALSE(lib.IsOpen());
    EXPECT_EQ(lib.Calls("hart_close"), 1);
    EXPECT_EQ(clock.Now().count(), 40); // seen at the first poll

    uint8_t marker = 0, manufacturer = 0, type = 0;
    uint32_t id = 0;
    EXPECT_EQ(transmitter->ParseResponse(
                  CommandIndex::IdentifyDevice,
                  {&marker, &manufacturer, &type, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &id}),
              10u);
    EXPECT_EQ(marker, 254);
    EXPECT_EQ(manufacturer, kKorvelManufacturer);
    EXPECT_EQ(type, kKorvelDeviceType);
    EXPECT_EQ(id, 0x123456u);
    EXPECT_EQ(transmitter->StoredLongAddress(), (LongAddress{0x19, 0xFC, 0x12, 0x34, 0x56}));
    EXPECT_EQ(transmitter->UniversalRevision(), 7);
    EXPECT_EQ(transmitter->DeviceRevision(), 1);
    EXPECT_EQ(transmitter->SoftwareRevision(), 3);
    EXPECT_EQ(transmitter->HardwareRevisionByte(), 8);
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(TransmitterTest, LongFramesGoToTheIdentifiedAddress) {
    lib.Load(std::string(kKorvelIdentity) + "reply 13 0 0 a8:TT101 a16:DESC u8:17 u8:5 u8:124\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadTagDescriptorDate), 0); // before identification
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    transmitter->ParseResponse(CommandIndex::IdentifyDevice);
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadTagDescriptorDate), 0);
    auto sent = lib.Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], Concat(kPreamble, testing::WithCheck({0x82, 0, 0, 0, 0, 0, 13, 0})));
    EXPECT_EQ(sent[2], Concat(kPreamble, testing::WithCheck({0x82, 0x19, 0xFC, 0x12, 0x34, 0x56, 13, 0})));

    std::string tag, descriptor;
    uint8_t day = 0, month = 0, year = 0;
    EXPECT_EQ(transmitter->ParseResponse(CommandIndex::ReadTagDescriptorDate,
                                         {&tag, &descriptor, &day, &month, &year}),
              5u);
    EXPECT_EQ(tag, "TT101   ");
    EXPECT_EQ(descriptor, "DESC            ");
    EXPECT_EQ(day, 17);
    EXPECT_EQ(month, 5);
    EXPECT_EQ(year, 124);
}

TEST_F(TransmitterTest, IdentityAnswerWithoutMarkerKeepsTheStoredAddress) {
    lib.Load("step answer 0 0 FE 99 FC 05 07 01 03 08 00 12 34 56\n"
             "step answer 0 0 00 11 22 05 07 01 03 08 00 AA BB CC\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    transmitter->ParseResponse(CommandIndex::IdentifyDevice);
    ASSERT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    uint8_t first = 1;
    transmitter->ParseResponse(CommandIndex::IdentifyDevice, {&first});
    EXPECT_EQ(first, 0); // the typed decoding still happens
    EXPECT_EQ(transmitter->StoredLongAddress(), (LongAddress{0x19, 0xFC, 0x12, 0x34, 0x56}));
}

TEST_F(TransmitterTest, BurstAndAnswersToOtherCommandsAreSkipped) {
    lib.Load("step burst 0 0 01 02 | other 15 0 0 01 | delay 3 | answer 0 0 u24:4810\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), 0);
    uint32_t number = 0;
    EXPECT_EQ(transmitter->ParseResponse(CommandIndex::ReadFinalAssemblyNumber, {&number}), 1u);
    EXPECT_EQ(number, 4810u);
    EXPECT_EQ(lib.SentCount(), 1);
    EXPECT_EQ(clock.sleeps.size(), 6u); // burst, other, three empty polls, the answer
}

TEST_F(TransmitterTest, DamagedFrameThenSilenceGives192AndKeepsTheLinkOpen) {
    lib.Load("step badcheck 0 0 u24:4810\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
    EXPECT_EQ(lib.SentCount(), 3);
    EXPECT_TRUE(transmitter->IsLinkOpen());
    EXPECT_TRUE(lib.IsOpen());
    EXPECT_EQ(lib.Calls("hart_close"), 0);
}

TEST_F(TransmitterTest, DamagedFrameThenTheAnswerInTheSameAttemptIsAccepted) {
    lib.Load("step badcheck 0 0 u24:1 | answer 0 0 u24:2\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), 0);
    EXPECT_EQ(lib.SentCount(), 1);
    uint32_t number = 0;
    transmitter->ParseResponse(CommandIndex::ReadFinalAssemblyNumber, {&number});
    EXPECT_EQ(number, 2u);
}

TEST_F(TransmitterTest, BusyThreeTimesGives32AfterThreeSends) {
    lib.Load("reply 16 32 0\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseBusy);
    EXPECT_EQ(lib.SentCount(), 3);
    // Busy ends each attempt at once; the request goes again after the retry pause.
    EXPECT_EQ(clock.Histogram(), (std::map<long long, int>{{40, 3}, {1000, 3}}));
    EXPECT_TRUE(transmitter->IsLinkOpen());
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(TransmitterTest, BusyOnceThenTheAnswer) {
    lib.Load("step answer 32 0\nstep answer 0 0 u24:7\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), 0);
    EXPECT_EQ(lib.SentCount(), 2);
    EXPECT_EQ(clock.Histogram(), (std::map<long long, int>{{40, 2}, {1000, 1}}));
    EXPECT_FALSE(transmitter->IsLinkOpen());
}

// The fault noted last wins; silence never clears it.
TEST_F(TransmitterTest, BusyAfterADamagedFrameGivesBusy) {
    lib.Load("step badcheck 0 0\nstep answer 32 0\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseBusy);
}

TEST_F(TransmitterTest, DamagedFrameAfterBusyGives192) {
    lib.Load("step answer 32 0\nstep badcheck 0 0\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseCheckByteError);
}

TEST_F(TransmitterTest, SilenceGives255AfterThreeAttemptsOfTheProductionTiming) {
    EXPECT_EQ(CTransmitter::kReadAttempts, 100);
    EXPECT_EQ(CTransmitter::kReadInterval.count(), 40);
    EXPECT_EQ(CTransmitter::kRetryPause.count(), 1000);
    EXPECT_EQ(CTransmitter::kRetries, 3);

    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseNoAnswer);
    EXPECT_EQ(lib.SentCount(), 3);
    EXPECT_EQ(lib.Calls("hart_read"), 300 + 1); // the drain's one empty read, then 3 x 100 polls
    EXPECT_EQ(clock.Histogram(), (std::map<long long, int>{{40, 300}, {1000, 3}}));
    EXPECT_EQ(clock.Now().count(), 15000);
    EXPECT_FALSE(transmitter->IsLinkOpen());
    EXPECT_FALSE(lib.IsOpen());
    EXPECT_TRUE(ui.shown.empty()); // the caller reports 255
}

// The driver daemon's record of a port without modem-control lines is the cause under "not found", but
// only after silence on the port it names.
TEST_F(TransmitterTest, SilenceOnAPortWithoutModemLinesSaysWhy) {
    const std::string device = *platform::LookupComPort(1);
    const std::string cause = "У порта COM1 (" + device +
                              ") нет линий управления модемом: RTS не переключается, и модем, который "
                              "включает передатчик по RTS, не передаёт запросы";
    const struct {
        const char* what;
        std::string recorded; // the device the record names ("": no record)
        bool answers;
        std::string shown; // the second line under 906 ("": none)
    } cases[] = {
        {"silence, the port recorded", device, false, cause},
        {"an answer, the port recorded", device, true, ""},
        {"silence, no record", "", false, ""},
        {"silence, a record of another device", device + "x", false, ""},
    };
    for (const auto& c : cases) {
        const bool recorded = !c.recorded.empty();
        ASSERT_EQ(platform::RecordModemLines(platform::ModemLinesDir(), 1, c.recorded, recorded), 0);
        lib.Load(c.answers ? kKorvelIdentity : "");
        ui.shown.clear();
        const int rc = transmitter->Transact(CommandIndex::IdentifyDevice);
        EXPECT_EQ(rc == kResponseNoAnswer, !c.answers) << c.what;
        EXPECT_EQ(transmitter->NoAnswerCause(), c.shown) << c.what;
        transmitter->ReportResponseCode(CommandIndex::IdentifyDevice, kResponseNoAnswer);
        ASSERT_EQ(ui.shown.size(), 1u) << c.what;
        const std::string second = c.shown.empty() ? "" : "\n" + c.shown;
        EXPECT_EQ(ui.shown[0].text, std::string(LoadString(str::kSensorNotFound)) + second) << c.what;
    }
}

TEST_F(TransmitterTest, CommunicationErrorKeepsTheLinkForTheNextTransaction) {
    // Each refused attempt leaves an answer to command 48 behind; the next transaction, for command
    // 48, must not take that stale answer for its own.
    const char* refused = "step answer 144 0 | other 48 0 0 01\n";
    lib.Load(std::string(refused) + refused + refused + "step answer 0 0 05 06 07 08 09\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), 144);
    EXPECT_TRUE(transmitter->IsLinkOpen());
    EXPECT_EQ(lib.Queued(), 1);

    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadAdditionalStatus), 0);
    EXPECT_EQ(lib.Calls("hart_open"), 1); // reused, not opened again
    uint8_t b[5] = {};
    EXPECT_EQ(
        transmitter->ParseResponse(CommandIndex::ReadAdditionalStatus, {&b[0], &b[1], &b[2], &b[3], &b[4]}),
        5u);
    EXPECT_EQ(b[0], 5);
    EXPECT_EQ(b[4], 9);
    EXPECT_FALSE(transmitter->IsLinkOpen());
}

TEST_F(TransmitterTest, RefusedWriteIsRetriedAfterThePause) {
    lib.Load("write -1\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseNoAnswer);
    EXPECT_EQ(lib.Calls("hart_write"), 3);
    EXPECT_EQ(clock.Histogram(), (std::map<long long, int>{{1000, 3}}));
    EXPECT_FALSE(transmitter->IsLinkOpen());
}

TEST_F(TransmitterTest, FailedTransactionLeavesTheLastAnswerAlone) {
    lib.Load("step answer 8 64 a8:KEEP a16:ME u8:1 u8:2 u8:3\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadTagDescriptorDate), 8);
    const std::vector<uint8_t> before(transmitter->LastResponse().begin(), transmitter->LastResponse().end());

    lib.Load("step badcheck 0 0 a8:OTHER\nstep\nstep\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::ReadTagDescriptorDate), kResponseCheckByteError);
    EXPECT_EQ(std::vector<uint8_t>(transmitter->LastResponse().begin(), transmitter->LastResponse().end()),
              before);
    uint8_t code = 0, status = 0;
    transmitter->GetLastStatus(&code, &status);
    EXPECT_EQ(code, 8);
    EXPECT_EQ(status, 64);
    transmitter->GetLastStatus(nullptr, nullptr);
    std::string tag;
    transmitter->ParseResponse(CommandIndex::ReadTagDescriptorDate, {&tag});
    EXPECT_EQ(tag, "KEEP    ");
}

TEST_F(TransmitterTest, NothingIsDecodedBeforeTheFirstAnswer) {
    float f = 1.5f;
    EXPECT_EQ(transmitter->ParseResponse(CommandIndex::WriteDamping, {&f}), 0u);
    EXPECT_EQ(f, 1.5f);
}

TEST_F(TransmitterTest, PortNumberComesFromTheSettingsLowByteOnly) {
    env.AddPort(12);
    settings.SetInt(kGeneralSection, kPortSettingsKey, 12);
    transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber);
    EXPECT_EQ(lib.LastOpenName(), "HART12");
    settings.SetInt(kGeneralSection, kPortSettingsKey, 256 + 12);
    transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber);
    EXPECT_EQ(lib.LastOpenName(), "HART12");
    MemorySettings empty;
    CTransmitter other(empty, ui, clock);
    other.Transact(CommandIndex::ReadFinalAssemblyNumber);
    EXPECT_EQ(lib.LastOpenName(), "HART1");
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(TransmitterTest, MismatchedValueIsRefusedBeforeThePortIsTouched) {
    float units = 32;
    EXPECT_THROW(transmitter->Transact(CommandIndex::WritePvUnits, {&units}), FieldMismatch);
    EXPECT_EQ(lib.Calls("hart_open"), 0);
    lib.Load("reply 44 0 0 20\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::WritePvUnits, {static_cast<const uint8_t*>(nullptr)}), 0);
    EXPECT_THROW(transmitter->ParseResponse(CommandIndex::WritePvUnits, {&units}), FieldMismatch);
}

// Opening the link: every way it can fail, and what the user is told.
class LinkOpenTest : public TransmitterTest {
  protected:
    // The program's message, and the transport's cause on the next line (it begins with `cause`).
    void ExpectRefused(int messageId, const std::string& cause) {
        EXPECT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), kResponseNoAnswer);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].id, messageId);
        EXPECT_TRUE(ui.shown[0].text.starts_with(std::string(LoadString(messageId)) + "\n" + cause))
            << ui.shown[0].text;
        EXPECT_EQ(ui.shown[0].icon, MessageIcon::Stop);
        EXPECT_FALSE(transmitter->IsLinkOpen());
        EXPECT_EQ(lib.SentCount(), 0);
        EXPECT_TRUE(clock.sleeps.empty());
    }
};

TEST_F(LinkOpenTest, MissingLibrary) {
    env.UseLibrary(platform::RuntimeDir() + "/absent.so");
    ExpectRefused(str::kCannotOpenPort,
                  platform::RuntimeDir() + "/absent.so: cannot open shared object file");
    // Once the library is there, the next transaction loads it.
    env.UseLibrary(testing::kDoublePath);
    lib.Load(kKorvelIdentity);
    EXPECT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
}

TEST_F(LinkOpenTest, MissingExport) {
    env.UseLibrary(testing::kDoubleWithoutClosePath);
    ExpectRefused(str::kCannotOpenPort, testing::kDoubleWithoutClosePath + ": undefined symbol: hart_close");
}

TEST_F(LinkOpenTest, BusyComPort) {
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(*platform::LookupComPort(1)), 0);
    ExpectRefused(str::kCannotOpenPort, "Порт COM1 занят другой программой");
    EXPECT_EQ(lib.Calls("hart_open"), 0);
}

TEST_F(LinkOpenTest, MissingComPort) {
    settings.SetInt(kGeneralSection, kPortSettingsKey, 200); // no such port in the map
    ExpectRefused(str::kCannotOpenPort, "Порт COM200 не найден");
}

TEST_F(LinkOpenTest, LibraryRefusesTheDevice) {
    lib.Load("open -1\n");
    ExpectRefused(str::kCannotOpenPort, "hart_open(\"HART1\") вернула -1");
}

TEST_F(LinkOpenTest, ConfigurationRefusedClosesTheDeviceAgain) {
    lib.Load("configure -3\n");
    ExpectRefused(str::kCannotConfigurePort, "hart_configure вернула -3");
    // Left open in the library, the device could never be opened again.
    EXPECT_FALSE(lib.IsOpen());
    EXPECT_EQ(lib.Calls("hart_close"), 1);
}

TEST_F(TransmitterTest, CloseFailureAfterAnAnswerIsReportedAndTheLinkCountsAsClosed) {
    lib.Load(std::string(kKorvelIdentity) + "close -1\n");
    EXPECT_EQ(transmitter->Transact(CommandIndex::IdentifyDevice), 0);
    EXPECT_FALSE(transmitter->IsLinkOpen());
    ASSERT_EQ(ui.Ids(), std::vector<int>{str::kCannotClosePort});
    EXPECT_EQ(ui.shown[0].text, "Нельзя закрыть Com порт\nhart_close вернула -1");
    EXPECT_EQ(transmitter->ReleaseLink(), 1); // nothing open any more
}

TEST_F(TransmitterTest, DestructionClosesALinkLeftOpen) {
    lib.Load("reply 16 32 0\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseBusy);
    transmitter.reset();
    EXPECT_FALSE(lib.IsOpen());
    EXPECT_TRUE(ui.shown.empty());
}

TEST_F(TransmitterTest, DestructionReportsAFailedClose) {
    lib.Load("reply 16 32 0\nclose -1\n");
    ASSERT_EQ(transmitter->Transact(CommandIndex::ReadFinalAssemblyNumber), kResponseBusy);
    transmitter.reset();
    EXPECT_EQ(ui.Ids(), std::vector<int>{str::kCannotClosePort});
}

TEST_F(TransmitterTest, EnsureOpenAndReleaseLink) {
    EXPECT_EQ(transmitter->ReleaseLink(), 1); // not open: nothing to do
    EXPECT_EQ(lib.Calls("hart_close"), 0);
    EXPECT_EQ(transmitter->EnsureOpen(), 1);
    EXPECT_EQ(transmitter->EnsureOpen(), 1);
    EXPECT_EQ(lib.Calls("hart_open"), 1);
    EXPECT_EQ(lib.Calls("hart_configure"), 1);
    EXPECT_EQ(transmitter->ReleaseLink(), 1);
    EXPECT_FALSE(lib.IsOpen());
}

} // namespace
} // namespace zelhart::hart
