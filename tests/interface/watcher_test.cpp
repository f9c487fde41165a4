// Ports coming and going: the watcher thread, OnDeviceChange and the IOCTL_HART_MODEM_INIT record.
#include "library_fixture.h"
#include "modem_init.h"

#include "zelhart/platform/serial_port_map.h"

#include <cstring>
#include <fstream>

namespace zelhart::hartif::testing {
namespace {

using Watcher = LibraryFixture;

std::string PortName(const HartModemInitInfo& info) {
    return std::string(info.PortName, info.PortName + info.PortNameLength / 2 - 1);
}

HartModemInitInfo ModemInitAt(const std::vector<IoctlCall>& calls, size_t i) {
    HartModemInitInfo info{};
    if (i < calls.size() && calls[i].input.size() == sizeof(info)) std::memcpy(&info, calls[i].input.data(), sizeof(info));
    return info;
}

std::u16string Wide(const char16_t* text) { return std::u16string(text); }

TEST_F(Watcher, LinkedPortArrivingAnnouncesItAndReconnectsAndItsRemovalClosesTheDevice) {
    Attach(true);
    uint16_t index = Open("HART5");
    EXPECT_FALSE(Controller(index)->IsPresent());

    std::string tty = root / "dev/pts-5";
    std::ofstream(tty) << "";
    ASSERT_EQ(platform::RegisterComPort(sources.portsDir, 5, tty), 0);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record)); // the all-zero "device is back" record
    EXPECT_EQ(record.Length, 0);
    EXPECT_EQ(record.Status, 0);
    EXPECT_TRUE(Controller(index)->IsPresent());

    auto calls = driver->Ioctls(FakeDriver::kFunctionPath);
    ASSERT_EQ(calls.size(), 1u);
    HartModemInitInfo info = ModemInitAt(calls, 0);
    EXPECT_EQ(Wide(info.SerialDeviceName), Utf8ToUtf16(tty));
    EXPECT_EQ(info.SerialDeviceNameLength, (tty.size() + 1) * 2);
    EXPECT_EQ(PortName(info), "COM5");
    EXPECT_EQ(info.PortNameLength, 10u);

    ASSERT_EQ(platform::UnregisterComPort(sources.portsDir, 5), 0);
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->OpenFiles(FakeDriver::HartPath(5)) == 0; }));
    EXPECT_TRUE(driver->WaitUntil([&] { return !Controller(index)->IsPresent(); }));
    EXPECT_EQ(hart_close(index), HDRV_FAILURE);
}

TEST_F(Watcher, PortPresentBeforeOpenButWithoutHartDeviceIsAnnouncedAtOpen) {
    std::string tty = root / "dev/pts-8";
    std::ofstream(tty) << "";
    ASSERT_EQ(platform::RegisterComPort(sources.portsDir, 8, tty), 0);
    Attach(true);
    uint16_t index = Open("HART8"); // no HART device yet: the driver has not heard of the port
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_TRUE(Controller(index)->IsPresent());
    EXPECT_EQ(PortName(ModemInitAt(driver->Ioctls(FakeDriver::kFunctionPath), 0)), "COM8");
}

TEST_F(Watcher, FunctionDeviceIsFoundWhenTheDriverStartsAfterLoading) {
    driver->SetRunning(false);
    Attach();
    EXPECT_FALSE(Lib().Function().IsOpen());
    uint16_t index = Open("HART3");
    driver->SetRunning(true);
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB2", true);
    EXPECT_TRUE(Lib().Function().IsOpen());
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_TRUE(Controller(index)->IsPresent());
}

TEST_F(Watcher, WithoutFunctionDeviceTheControllerIsStillToldToReconnect) {
    driver->SetFunctionDevicePresent(false);
    Attach();
    uint16_t index = Open("HART3");
    driver->AddDevice(FakeDriver::HartPath(3)); // the device exists: only the announcement is missing
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB2", true);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_TRUE(Controller(index)->IsPresent());
    EXPECT_TRUE(driver->Ioctls(FakeDriver::kFunctionPath).empty());
}

TEST_F(Watcher, RefusedAnnouncementStillReconnects) {
    Attach();
    uint16_t index = Open("HART3");
    driver->AddDevice(FakeDriver::HartPath(3));
    driver->FailNextIoctl(FakeDriver::kFunctionPath, IOCTL_HART_MODEM_INIT, ERROR_GEN_FAILURE);
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB2", true);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(index, &record));
    EXPECT_TRUE(Controller(index)->IsPresent());
}

// The daemon's socket appearing (a daemon started, or started again): every open device is announced
// and reconnected. A handle the running driver still serves is kept; one that answers nothing any
// more (it belonged to the daemon that went) is opened afresh.
TEST_F(Watcher, DaemonSocketAppearingReconnectsEveryDevice) {
    Attach(true);
    const uint16_t absent = Open("HART3"), live = OpenPresent(4), dead = OpenPresent(5);
    const std::string livePath = FakeDriver::HartPath(4), deadPath = FakeDriver::HartPath(5);
    driver->AddDevice(FakeDriver::HartPath(3));
    driver->FailNextIoctl(deadPath, IOCTL_HART_GET_PROTOCOL, ERROR_NOT_READY);
    const int liveOpens = driver->OpenCount(livePath), deadOpens = driver->OpenCount(deadPath);

    std::ofstream(root / "zelhart.sock") << "";
    for (uint16_t index : {absent, dead}) {
        HartMessage record{};
        record.Length = 99;
        ASSERT_TRUE(NextRecord(index, &record)) << "device " << index << " is back";
        EXPECT_EQ(record.Length, 0);
        EXPECT_TRUE(Controller(index)->IsPresent());
    }
    EXPECT_EQ(driver->OpenCount(deadPath), deadOpens + 1);
    auto asked = [&] {
        for (const auto& call : driver->Ioctls(livePath))
            if (call.code == IOCTL_HART_GET_PROTOCOL) return !Controller(live)->EventSignalled(EVT_PORT_ARRIVAL);
        return false;
    };
    ASSERT_TRUE(driver->WaitUntil(asked));
    EXPECT_EQ(driver->OpenCount(livePath), liveOpens);
    EXPECT_TRUE(NoRecord(live));
    std::vector<std::string> announced;
    for (size_t i = 0; i < driver->Ioctls(FakeDriver::kFunctionPath).size(); ++i)
        announced.push_back(PortName(ModemInitAt(driver->Ioctls(FakeDriver::kFunctionPath), i)));
    EXPECT_EQ(announced, (std::vector<std::string>{"COM3", "COM4", "COM5"}));
}

TEST_F(Watcher, OnlyTheControllerInTheLowestSlotIsTold) {
    Attach();
    uint16_t upper = Open("HART3"), lower = Open("hart3"); // both belong to COM3
    ASSERT_EQ(upper, 0);
    ASSERT_EQ(lower, 1);
    Lib().OnDeviceChange("COM3", "/dev/ttyUSB2", true);
    HartMessage record{};
    ASSERT_TRUE(NextRecord(upper, &record));
    EXPECT_TRUE(Controller(upper)->IsPresent());
    EXPECT_FALSE(Controller(lower)->IsPresent());
    EXPECT_FALSE(Controller(lower)->EventSignalled(EVT_PORT_ARRIVAL));
    EXPECT_TRUE(NoRecord(lower));
}

TEST_F(Watcher, PortNamesAreComparedExactly) {
    Attach();
    uint16_t index = Open("HART3");
    driver->AddDevice(FakeDriver::HartPath(3));
    Lib().OnDeviceChange("com3", "/dev/ttyUSB2", true);
    Lib().OnDeviceChange("COM33", "/dev/ttyUSB2", true);
    EXPECT_TRUE(driver->Ioctls(FakeDriver::kFunctionPath).empty());
    EXPECT_FALSE(Controller(index)->EventSignalled(EVT_PORT_ARRIVAL));
    EXPECT_FALSE(Controller(index)->IsPresent());
}

TEST(ModemInitRecord, NamesAreNulTerminatedUtf16WithByteLengths) {
    HartModemInitInfo info = MakeModemInitInfo("/dev/pts/7", "COM3");
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(bytes[0], '/');
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(info.SerialDeviceNameLength, 22u); // (10 + 1) * 2
    EXPECT_EQ(bytes[260], 'C');
    EXPECT_EQ(info.PortNameLength, 10u);
    for (size_t i = 20; i < 256; ++i) ASSERT_EQ(bytes[i], 0) << i; // NUL and everything after it
    for (size_t i = 268; i < 516; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(ModemInitRecord, EmptyAndOverlongNamesGoOutEmpty) {
    HartModemInitInfo info = MakeModemInitInfo("", "COM3");
    EXPECT_EQ(info.SerialDeviceNameLength, 2u);
    EXPECT_EQ(info.SerialDeviceName[0], 0);
    info = MakeModemInitInfo("/dev/" + std::string(123, 'x'), "COM3"); // 128 characters: no room for the NUL
    EXPECT_EQ(info.SerialDeviceNameLength, 2u);
    info = MakeModemInitInfo("/dev/" + std::string(122, 'x'), "COM3"); // 127 fits
    EXPECT_EQ(info.SerialDeviceNameLength, 256u);
    EXPECT_EQ(info.SerialDeviceName[127], 0);
}

TEST(ModemInitRecord, Utf8BecomesUtf16) {
    EXPECT_EQ(Utf8ToUtf16("/dev/\xD0\xBF\xD0\xBE\xD1\x80\xD1\x82"), u"/dev/порт");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x94\x8C"), u"\U0001F50C"); // outside the basic plane: a surrogate pair
    EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");                 // cut short
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");               // overlong form
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");           // an encoded surrogate
}

} // namespace
} // namespace zelhart::hartif::testing
