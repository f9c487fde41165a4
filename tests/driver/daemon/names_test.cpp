// Names of HART devices from the serial port map and from IOCTL_HART_MODEM_INIT records, the trace
// line format, and the daemon's command line: the driver's logic without the framework.
#include "daemon_options.h"
#include "hart_names.h"
#include "hart_trace.h"

#include <gtest/gtest.h>

namespace zelhart::hartdriver {
namespace {

const std::string kGuid = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}";

TEST(SerialCommValueTest, KernelNamesGetTheDevicePrefixAndPathsStandAsTheyAre) {
    HartPortNames n;
    ASSERT_EQ(ParseSerialCommValue("\\Device\\Serial0", "COM1", &n), SerialCommValue::Ok);
    EXPECT_EQ(n.DeviceName, "\\Device\\" + kGuid + "_Hart1");
    EXPECT_EQ(n.LinkName, "\\DosDevices\\" + kGuid + "_HART1");
    EXPECT_EQ(n.SerialDeviceName, "\\Device\\Serial0");
    ASSERT_EQ(ParseSerialCommValue("VCP0", "COM12", &n), SerialCommValue::Ok);
    EXPECT_EQ(n.DeviceName, "\\Device\\" + kGuid + "_Hart12");
    EXPECT_EQ(n.LinkName, "\\DosDevices\\" + kGuid + "_HART12");
    EXPECT_EQ(n.SerialDeviceName, "\\Device\\VCP0");
    ASSERT_EQ(ParseSerialCommValue("/dev/ttyUSB0", "COM33", &n), SerialCommValue::Ok);
    EXPECT_EQ(n.SerialDeviceName, "/dev/ttyUSB0");
    EXPECT_EQ(n.PortNumber, "33");
}

TEST(SerialCommValueTest, BadNamesAreIgnored) {
    HartPortNames n;
    EXPECT_EQ(ParseSerialCommValue("/dev/x", "COM", &n), SerialCommValue::TooShort);
    EXPECT_EQ(ParseSerialCommValue("/dev/x", "", &n), SerialCommValue::TooShort);
    EXPECT_EQ(ParseSerialCommValue("/dev/x", "com3", &n), SerialCommValue::BadName); // case matters
    EXPECT_EQ(ParseSerialCommValue("/dev/x", "LPT1", &n), SerialCommValue::BadName);
}

HartModemInitInfo Record(std::u16string device, std::u16string port) {
    HartModemInitInfo info{};
    std::copy(device.begin(), device.end(), info.SerialDeviceName);
    info.SerialDeviceNameLength = static_cast<uint32_t>((device.size() + 1) * 2);
    std::copy(port.begin(), port.end(), info.PortName);
    info.PortNameLength = static_cast<uint32_t>((port.size() + 1) * 2);
    return info;
}

TEST(ModemInitRecordTest, AWellFormedRecordNamesThePort) {
    HartPortNames n;
    ASSERT_EQ(ParseModemInitInfo(Record(u"/dev/pts/7", u"COM3"), &n), ModemInitRecord::Ok);
    EXPECT_EQ(n.DeviceName, "\\Device\\" + kGuid + "_Hart3");
    EXPECT_EQ(n.LinkName, "\\DosDevices\\" + kGuid + "_HART3");
    EXPECT_EQ(n.SerialDeviceName, "/dev/pts/7");
    ASSERT_EQ(ParseModemInitInfo(Record(u"Serial0", u"COM4096"), &n), ModemInitRecord::Ok);
    EXPECT_EQ(n.SerialDeviceName, "\\Device\\Serial0");
    // Only the low 16 bits of the device name's length count.
    HartModemInitInfo high = Record(u"/dev/ttyS0", u"COM1");
    high.SerialDeviceNameLength |= 0x10000;
    EXPECT_EQ(ParseModemInitInfo(high, &n), ModemInitRecord::Ok);
}

TEST(ModemInitRecordTest, LengthsOutsideTheirFieldsAreRefusedBeforeAnyCopy) {
    HartPortNames n;
    HartModemInitInfo r = Record(u"/dev/pts/7", u"COM3");
    r.PortNameLength = 8;
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.PortNameLength = 258;
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.SerialDeviceNameLength = 258;
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.SerialDeviceNameLength = 2; // the terminator alone
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.PortNameLength = 11; // odd
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.SerialDeviceNameLength -= 2; // the character before the terminator is not one
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    r = Record(u"/dev/pts/7", u"COM3");
    r.SerialDeviceName[3] = 0; // a terminator inside the name
    EXPECT_EQ(ParseModemInitInfo(r, &n), ModemInitRecord::BadLength);
    // The longest names that fit: 127 characters and the terminator.
    EXPECT_EQ(ParseModemInitInfo(Record(u"/" + std::u16string(126, u'd'), u"COM1"), &n), ModemInitRecord::Ok);
}

TEST(ModemInitRecordTest, PortNamesMustBeComAndDigits) {
    HartPortNames n;
    EXPECT_EQ(ParseModemInitInfo(Record(u"/dev/x", u"LPT1"), &n), ModemInitRecord::BadName);
    EXPECT_EQ(ParseModemInitInfo(Record(u"/dev/x", u"com1"), &n), ModemInitRecord::BadName);
    EXPECT_EQ(ParseModemInitInfo(Record(u"/dev/x", u"COM1a"), &n), ModemInitRecord::BadName);
    EXPECT_EQ(ParseModemInitInfo(Record(u"/dev/x", u"COM12345"), &n), ModemInitRecord::BadName);
    EXPECT_EQ(ParseModemInitInfo(Record(u"/dev/\xD800x", u"COM1"), &n), ModemInitRecord::BadName);
}

TEST(Utf16Test, ConvertsEveryPlaneAndRefusesLoneSurrogates) {
    std::string out;
    ASSERT_TRUE(Utf16ToUtf8(u"/dev/\u00e9\u20ac\U0001F600", &out));
    EXPECT_EQ(out, "/dev/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, u'\xDC00'), &out));
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, u'\xD800'), &out));
}

TEST(TraceFormatTest, PlainAndTimeStampedLines) {
    std::tm t{};
    t.tm_hour = 7;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(FormatHartTraceLine(0x01, "IOCTL_HART_SET_READ_MASK 0x9C400E50\n", t, 42),
              "HartDriver: IOCTL_HART_SET_READ_MASK 0x9C400E50\n");
    EXPECT_EQ(FormatHartTraceLine(0x81, "EVT_Q_TIMEOUT\n", t, 42), "HartDriver: [7:5:9.42]-EVT_Q_TIMEOUT\n");
    EXPECT_EQ(FormatHartTraceLine(0x02, "no newline", t, 0), "HartDriver: no newline\n");
}

TEST(TraceGateTest, ACategoryPrintsWhenAnyOfItsBitsIsEnabled) {
    std::string out;
    SetHartTraceWriter([&](std::string_view line) { out += line; });
    DebugLevel = 0;
    HartTrace(0xFFFFFFFF, "nothing at level 0\n");
    EXPECT_EQ(out, "");
    DebugLevel = 0x04;
    HartTrace(0x03, "off\n");
    HartTrace(0x05, "on %d\n", 5);
    EXPECT_EQ(out, "HartDriver: on 5\n");
    DebugLevel = 0;
    SetHartTraceWriter(nullptr);
}

std::string Parse(std::vector<const char*> args, DaemonOptions* o) {
    return ParseDaemonOptions(args, o);
}

TEST(DaemonOptionsTest, DirectoriesReadinessAndFlags) {
    DaemonOptions o;
    ASSERT_EQ(Parse({"--runtime-dir", "/run/x", "--config-dir=/etc/y", "--ready-fd", "3", "--verbose"}, &o),
              "");
    EXPECT_EQ(o.runtimeDir, "/run/x");
    EXPECT_EQ(o.configDir, "/etc/y");
    EXPECT_EQ(o.readyFd, 3);
    EXPECT_TRUE(o.verbose);
    EXPECT_FALSE(o.background);
    ASSERT_EQ(Parse({}, &o), "");
    EXPECT_EQ(o.readyFd, -1);
    EXPECT_TRUE(o.runtimeDir.empty());
    ASSERT_EQ(Parse({"--background", "--help"}, &o), "");
    EXPECT_TRUE(o.background && o.help);
}

TEST(DaemonOptionsTest, MistakesAreNamed) {
    DaemonOptions o;
    EXPECT_EQ(Parse({"--bogus"}, &o), "unknown option --bogus");
    EXPECT_EQ(Parse({"foreground"}, &o), "unknown option foreground");
    EXPECT_EQ(Parse({"--runtime-dir"}, &o), "--runtime-dir needs a directory");
    EXPECT_EQ(Parse({"--config-dir="}, &o), "--config-dir: bad directory name");
    EXPECT_EQ(Parse({"--ready-fd", "x"}, &o), "--ready-fd: not a descriptor number: x");
    EXPECT_EQ(Parse({"--ready-fd", "-1"}, &o), "--ready-fd: not a descriptor number: -1");
    EXPECT_EQ(Parse({"--ready-fd", "99999999999"}, &o), "--ready-fd: not a descriptor number: 99999999999");
    EXPECT_EQ(Parse({"--verbose=1"}, &o), "--verbose takes no value");
    EXPECT_EQ(Parse({"--runtime-dir", std::string(5000, 'a').c_str()}, &o),
              "--runtime-dir: bad directory name");
}

} // namespace
} // namespace zelhart::hartdriver
