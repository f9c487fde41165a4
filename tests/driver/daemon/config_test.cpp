// DriverEntry's tunables and DebugLevel from the service key, and the names of the HART devices made
// from the serial port map.
#include "fake_port.h"
#include "inprocess_fixture.h"

#include <fstream>

namespace zelhart::testing {
namespace {

using hartdriver::DRIVER_CONTEXT;
using hartdriver::HARTDEVICE_CONTEXT;

class TunablesTest : public InProcessDriverTest {};

TEST_F(TunablesTest, MissingValuesTakeTheirDefaults) {
    StartDriver(); // no ZelHartDriver.reg at all
    DRIVER_CONTEXT* d = Driver();
    EXPECT_EQ(d->RT1PRIMARY, 34);
    EXPECT_EQ(d->QUIETTIME, 34);
    EXPECT_EQ(d->RT1SECONDARY, 42);
    EXPECT_EQ(d->RT2, 8);
    EXPECT_EQ(d->STO, 28);
    EXPECT_EQ(d->BGTIMESTART, 298);
    EXPECT_EQ(d->BGTIMEERROR, 296);
    EXPECT_EQ(d->RT1DIFF, 0);
    EXPECT_EQ(d->PRE2, 3);
    EXPECT_EQ(d->MISSEDTRANSMITWINDOW, 77);
    EXPECT_EQ(d->HOLD, 3);
    EXPECT_EQ(d->GAP, 3);
    EXPECT_EQ(d->TIMEINTERVAL, -100000);
    EXPECT_EQ(hartdriver::DebugLevel.load(), 0u);
    EXPECT_EQ(Trace(), "");
}

TEST_F(TunablesTest, ValuesAreReadAndKeepTheirLow16Bits) {
    WriteRegistry("\"HOLD\"=dword:00010005\n"
                  "\"GAP\"=dword:00000004\n"
                  "\"RT2\"=dword:0000000a\n"
                  "\"MISSEDTRANSMITWINDOW\"=dword:00000050\n"
                  "\"TIMEINTERVAL\"=dword:fffe7960\n");
    StartDriver();
    DRIVER_CONTEXT* d = Driver();
    EXPECT_EQ(d->HOLD, 5);
    EXPECT_EQ(d->GAP, 4);
    EXPECT_EQ(d->RT2, 10);
    EXPECT_EQ(d->MISSEDTRANSMITWINDOW, 80);
    EXPECT_EQ(d->TIMEINTERVAL, -100000);
    EXPECT_EQ(d->RT1PRIMARY, 34); // absent ones keep their defaults
}

TEST_F(TunablesTest, EchoModeIsReadAndAnUnknownOneIsAutomatic) {
    const struct {
        const char* value;
        datalink::EchoMode mode;
    } cases[] = {{"", datalink::EchoMode::Automatic},
                 {"\"ECHO\"=dword:00000001\n", datalink::EchoMode::On},
                 {"\"ECHO\"=dword:00000002\n", datalink::EchoMode::Off},
                 {"\"ECHO\"=dword:00000007\n", datalink::EchoMode::Automatic}};
    for (const auto& c : cases) {
        WriteRegistry(c.value);
        StartDriver();
        EXPECT_EQ(Driver()->EchoSuppression, c.mode) << c.value;
        fw_->Shutdown();
        fw_.reset();
    }
}

TEST_F(TunablesTest, QuietTimeFollowsRt1PrimaryWhenAbsent) {
    WriteRegistry("\"RT1PRIMARY\"=dword:00000028\n");
    StartDriver();
    EXPECT_EQ(Driver()->RT1PRIMARY, 40);
    EXPECT_EQ(Driver()->QUIETTIME, 40);
}

TEST_F(TunablesTest, ValuesThatAreNot32BitTakeTheirDefault) {
    WriteRegistry("\"RT1PRIMARY\"=dword:00000028\n"
                  "\"QUIETTIME\"=hex(b):05,00,00,00,00,00,00,00\n"
                  "\"RT2\"=\"12\"\n"
                  "\"HOLD\"=hex:07,00\n");
    StartDriver();
    EXPECT_EQ(Driver()->QUIETTIME, 40); // the 64-bit value does not fit: RT1PRIMARY's value
    EXPECT_EQ(Driver()->RT2, 8);
    EXPECT_EQ(Driver()->HOLD, 3);
}

TEST_F(TunablesTest, EveryHartDeviceCopiesTheTimings) {
    WriteRegistry("\"RT1PRIMARY\"=dword:00000028\n\"GAP\"=dword:00000005\n\"BGTIMEERROR\"=dword:00000064\n");
    FakePort port(run_, comA_);
    StartDriver();
    auto function = OpenFunctionDevice();
    auto devices = HartDevicesOn({port.path()});
    ASSERT_EQ(devices.size(), 1u);
    HARTDEVICE_CONTEXT* ctx = hartdriver::HartDeviceGetContext(devices[0]);
    auto lock = ctx->Lock();
    const auto& t = ctx->DataLink->Context().Timings;
    EXPECT_EQ(t.RT1PRIMARY, 40);
    EXPECT_EQ(t.QUIETTIME, 40);
    EXPECT_EQ(t.GAP, 5);
    EXPECT_EQ(t.BGTIMEERROR, 100);
    EXPECT_EQ(t.MaxMessageLength, 265);
    EXPECT_EQ(ctx->TimeInterval, -100000);
}

TEST_F(TunablesTest, DebugLevelOnePrintsTheBannerAndErrorsOnly) {
    WriteRegistry("\"DebugLevel\"=dword:00000001\n");
    StartDriver();
    std::string trace = Trace();
    EXPECT_NE(trace.find("HartDriver: ************************************************************\n"),
              std::string::npos);
    EXPECT_NE(trace.find("HartDriver: \t\tHART Driver\n"), std::string::npos);
    EXPECT_NE(trace.find("HartDriver: \t\tBuilt "), std::string::npos);
    // Absent tunables are errors of the query.
    EXPECT_NE(
        trace.find("HartDriver: HartUtilRegistryValueGet WdfRegistryQueryValue failed! Status 0xC0000034\n"),
        std::string::npos);
    EXPECT_EQ(trace.find(">>>>"), std::string::npos); // entry and exit are category 0x02
    EXPECT_EQ(trace.find("Tunables:"), std::string::npos);
}

class NamingTest : public InProcessDriverTest {};

TEST_F(NamingTest, HartDevicesAreNamedAfterTheirComPorts) {
    FakePort first(run_, comA_), second(run_, comB_);
    StartDriver();
    auto function = OpenFunctionDevice();
    auto devices = HartDevicesOn({first.path(), second.path()});
    ASSERT_EQ(devices.size(), 2u);
    const std::string guid = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}";
    const std::string a = std::to_string(comA_), b = std::to_string(comB_);
    EXPECT_EQ(devices[0]->GetName(), "\\Device\\" + guid + "_Hart" + a);
    EXPECT_EQ(devices[1]->GetName(), "\\Device\\" + guid + "_Hart" + b);
    auto* c1 = hartdriver::HartDeviceGetContext(devices[0]);
    auto* c2 = hartdriver::HartDeviceGetContext(devices[1]);
    EXPECT_EQ(c1->SymbolicLinkName, "\\DosDevices\\" + guid + "_HART" + a);
    EXPECT_EQ(c2->SymbolicLinkName, "\\DosDevices\\" + guid + "_HART" + b);
    EXPECT_TRUE(c1->SymbolicLinkCreated);
    EXPECT_EQ(c1->TargetName, first.path()); // a device path is taken as it stands
    EXPECT_EQ(c2->TargetName, second.path());
    EXPECT_TRUE(devices[0]->IsExclusive());
    EXPECT_TRUE(OpenHart(comA_));
    EXPECT_TRUE(OpenHart(comB_));
    uint32_t error = 0;
    EXPECT_FALSE(OpenHart(comC_, &error));
    EXPECT_EQ(error, platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(NamingTest, StaticPortListEntriesGetHartDevicesToo) {
    FakePort unregistered(run_, 0);
    {
        std::ofstream conf(etc_ + "/ports.conf");
        conf << "COM" << comD_ << "=" << unregistered.path() << "\n";
    }
    StartDriver();
    auto function = OpenFunctionDevice();
    auto devices = HartDevicesOn({unregistered.path()});
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->GetName(), std::string(kHartDeviceNamePrefix) + std::to_string(comD_));
    EXPECT_TRUE(OpenHart(comD_));
}

TEST_F(NamingTest, CreatingTwiceMakesNoDuplicates) {
    FakePort portB(run_, comB_);
    StartDriver();
    auto function = OpenFunctionDevice();
    uint8_t ignored = 0;
    ASSERT_EQ(Ioctl(*function, IOCTL_HART_ENUMERATE_DEVICES, &ignored, 1), STATUS_SUCCESS);
    EXPECT_EQ(HartDevicesOn({portB.path()}).size(), 1u);
    FakePort portC(run_, comC_);
    ASSERT_EQ(Ioctl(*function, IOCTL_HART_ENUMERATE_DEVICES, &ignored, 1), STATUS_SUCCESS);
    EXPECT_EQ(HartDevicesOn({portB.path(), portC.path()}).size(), 2u);
}

TEST_F(NamingTest, FunctionDeviceHandlesCountTheHartDevicesInAndOut) {
    FakePort portB(run_, comB_);
    StartDriver();
    EXPECT_TRUE(HartDevicesOn({portB.path()}).empty()); // made at the first open of the function device
    auto first = OpenFunctionDevice();
    auto second = OpenFunctionDevice();
    EXPECT_EQ(HartDevicesOn({portB.path()}).size(), 1u);
    first.reset();
    EXPECT_TRUE(WaitUntil([&] { return DeviceCount() == 1; }));
    EXPECT_EQ(HartDevicesOn({portB.path()}).size(), 1u); // another handle remains
    second.reset();
    EXPECT_TRUE(WaitUntil([&] { return DeviceCount() == 0; }));
    EXPECT_TRUE(HartDevicesOn({portB.path()}).empty());
}

} // namespace
} // namespace zelhart::testing
