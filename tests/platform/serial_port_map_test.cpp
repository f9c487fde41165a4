#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/runtime_dir.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace zelhart::platform;
using zelhart::testing::TempDir;

namespace {

void Touch(const std::string& path) { std::ofstream(path) << ""; }

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

struct MapFixture : ::testing::Test {
    TempDir root;
    SerialPortMapSources src;
    void SetUp() override {
        for (auto d : {"ports", "dev", "sys", "etc"}) ASSERT_TRUE(MakeDirs(root / d));
        src = {root / "ports", root / "etc/ports.conf", root / "dev", root / "sys"};
    }
    std::string Dev(const std::string& name) {
        Touch(root / ("dev/" + name));
        return root / ("dev/" + name);
    }
};

} // namespace

TEST(ComName, ParsesOnlyWellFormedNames) {
    EXPECT_EQ(ParseComName("COM1"), 1);
    EXPECT_EQ(ParseComName("com12"), 12);
    EXPECT_EQ(ParseComName("COM255"), 255);
    EXPECT_FALSE(ParseComName("COM"));
    EXPECT_FALSE(ParseComName("COM0"));
    EXPECT_FALSE(ParseComName("COM01"));
    EXPECT_FALSE(ParseComName("COM-1"));
    EXPECT_FALSE(ParseComName("COM3x"));
    EXPECT_FALSE(ParseComName("COM99999999999"));
    EXPECT_FALSE(ParseComName("LPT1"));
}

TEST_F(MapFixture, ExplicitLinksAreEntriesAndStaleLinksAreAbsent) {
    std::string a = Dev("pts-a");
    ASSERT_EQ(RegisterComPort(src.portsDir, 7, a), 0);
    ASSERT_EQ(::symlink((root / "dev/gone").c_str(), (root / "ports/COM8").c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), (root / "ports/notacom").c_str()), 0);

    auto map = ReadSerialPortMap(src);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].comName, "COM7");
    EXPECT_EQ(map[0].number, 7);
    EXPECT_EQ(map[0].devicePath, a);
    EXPECT_EQ(map[0].source, SerialPortEntry::Source::Explicit);
    EXPECT_EQ(LookupComPort(7, src), a);
    EXPECT_FALSE(LookupComPort(8, src));

    EXPECT_EQ(UnregisterComPort(src.portsDir, 7), 0);
    EXPECT_TRUE(ReadSerialPortMap(src).empty());
    EXPECT_EQ(UnregisterComPort(src.portsDir, 7), ENOENT);
}

TEST_F(MapFixture, RegisterReplacesAnExistingLink) {
    std::string a = Dev("a"), b = Dev("b");
    ASSERT_EQ(RegisterComPort(src.portsDir, 3, a), 0);
    ASSERT_EQ(RegisterComPort(src.portsDir, 3, b), 0);
    EXPECT_EQ(LookupComPort(3, src), b);
    EXPECT_EQ(RegisterComPort(src.portsDir, 0, b), EINVAL);
}

TEST_F(MapFixture, StaticFileSkipsCommentsAndMalformedLines) {
    std::string usb = Dev("usb-serial");
    WriteFile(src.portsConf, "# installed ports\n"
                             "  COM3 = " + usb + "  \n"
                             "COM4=relative/path\n"
                             "COM5\n"
                             "COMX=" + usb + "\n"
                             "COM6=" + root / "dev/missing" + "\n" +
                                 std::string(5000, 'x') + "\n");
    auto map = ReadSerialPortMap(src);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].comName, "COM3");
    EXPECT_EQ(map[0].source, SerialPortEntry::Source::Static);
}

TEST_F(MapFixture, AutomaticEntriesFollowTheNamingRule) {
    Dev("ttyS0");
    Dev("ttyS1");
    Dev("ttyUSB0");
    Dev("ttyUSB2");
    Dev("ttyACM1");
    Dev("ttyUSBx");
    MakeDirs(root / "sys/ttyS0");
    MakeDirs(root / "sys/ttyS1");
    WriteFile(root / "sys/ttyS0/type", "4\n");
    WriteFile(root / "sys/ttyS1/type", "0\n"); // no UART behind it

    auto map = ReadSerialPortMap(src);
    std::vector<std::string> names;
    for (auto& e : map) names.push_back(e.comName + "=" + e.devicePath.substr(root.path().size()));
    EXPECT_EQ(names, (std::vector<std::string>{"COM1=/dev/ttyS0", "COM33=/dev/ttyUSB0", "COM35=/dev/ttyUSB2",
                                               "COM66=/dev/ttyACM1"}));
}

TEST_F(MapFixture, EarlierSourcesWinOnNameAndOnDevice) {
    std::string usb0 = Dev("ttyUSB0");
    std::string pts = Dev("pts-1");
    // The explicit link takes COM3, so the static file's COM3 line loses and its COM9 line names
    // ttyUSB0; the automatic COM33 for the same device loses to it.
    WriteFile(src.portsConf, "COM3=" + usb0 + "\nCOM9=" + usb0 + "\n");
    ASSERT_EQ(RegisterComPort(src.portsDir, 3, pts), 0);

    auto map = ReadSerialPortMap(src);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].comName, "COM3");
    EXPECT_EQ(map[0].devicePath, pts);
    EXPECT_EQ(map[1].comName, "COM9");
    EXPECT_EQ(map[1].devicePath, usb0);

    // Without the link the static COM3 line claims ttyUSB0 first and COM9 loses on the device.
    ASSERT_EQ(UnregisterComPort(src.portsDir, 3), 0);
    map = ReadSerialPortMap(src);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].comName, "COM3");
    EXPECT_EQ(map[0].devicePath, usb0);
    EXPECT_EQ(ComNameForPath(usb0, src), "COM3");
}

TEST_F(MapFixture, ComNameForPathResolvesLinks) {
    std::string dev = Dev("ttyACM0");
    ASSERT_EQ(::symlink(dev.c_str(), (root / "by-id").c_str()), 0);
    EXPECT_EQ(ComNameForPath(root / "by-id", src), "COM65");
    EXPECT_FALSE(ComNameForPath(root / "nothing", src));
}

TEST(MapSources, EmptySourcesGiveAnEmptyMap) {
    EXPECT_TRUE(ReadSerialPortMap(SerialPortMapSources{}).empty());
    EXPECT_TRUE(ReadSerialPortMap({"/nonexistent/ports", "/nonexistent/ports.conf", "/nonexistent", ""}).empty());
}

// Simulators take numbers that no port of the machine has: a real port in the static file, the
// automatic number of a real device, a live link of another simulator are all passed over; a link
// whose target is gone is taken over.
TEST_F(MapFixture, FreeComNumbersAvoidEveryPortOfTheMachine) {
    EXPECT_EQ(FreeComNumber(src), kFirstSimulatorComNumber);
    WriteFile(src.portsConf, "COM201=" + Dev("ttyUSB0") + "\n");
    Dev("ttyUSB169"); // automatically COM202
    EXPECT_EQ(FreeComNumber(src), 203);

    int first = 0, second = 0;
    ASSERT_EQ(RegisterFreeComPort(src, Dev("pts-a"), &first), 0);
    ASSERT_EQ(RegisterFreeComPort(src, Dev("pts-b"), &second), 0);
    EXPECT_EQ(first, 203);
    EXPECT_EQ(second, 204);
    EXPECT_EQ(LookupComPort(204, src), root / "dev/pts-b");

    ASSERT_EQ(::symlink((root / "dev/gone").c_str(), (root / "ports/COM205").c_str()), 0);
    int third = 0;
    ASSERT_EQ(RegisterFreeComPort(src, Dev("pts-c"), &third), 0);
    EXPECT_EQ(third, 205); // left behind by a simulator that died: taken over

    for (int n = 206; n <= kLastSimulatorComNumber; ++n) 
        ASSERT_EQ(RegisterComPort(src.portsDir, n, Dev("pts-" + std::to_string(n))), 0);
    EXPECT_EQ(FreeComNumber(src), 0);
    int none = 0;
    EXPECT_EQ(RegisterFreeComPort(src, Dev("pts-d"), &none), EBUSY);
}
