// The state file: what is written reads back the same, and every kind of bad file is refused with
// a message that says where and why.
#include "temp_dir.h"
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/state_file.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <fstream>

namespace zelhart::sim {
namespace {

DeviceConfig Unusual() {
    DeviceConfig c = FactoryConfig();
    c.identity.deviceId = 0xABCDEF;
    c.tag = "TE 9";
    c.descriptor = "LINE @ 4_A";
    c.day = 1, c.month = 12, c.year = 255;
    c.sensorType = 132;
    c.sensorConnection = 2;
    c.rangeUnits = kUnitFahrenheit;
    c.upperRange = 1000.125f;
    c.lowerRange = -0.1f;
    c.damping = 0.7f;
    c.alarmType = 1;
    c.highAlarm = 22.75f;
    c.writeProtect = 1;
    c.thermometer.mountingLength = 65535;
    c.calibrationMode = 1;
    c.trimLowerReference = 20.25f;
    c.trimLowerReading = 21.0f;
    c.processValue = 300.5f;
    c.drift = false;
    c.sensorFault = SensorFault::Short;
    c.electronicsFault = true;
    return c;
}

TEST(StateFile, WhatIsWrittenReadsBackTheSame) {
    DeviceConfig in = Unusual();
    std::string text = FormatState(in);
    DeviceConfig out;
    ASSERT_EQ(ParseState(text, out), "");
    EXPECT_EQ(FormatState(out), text);
    EXPECT_EQ(out.identity.deviceId, 0xABCDEFu);
    EXPECT_EQ(out.descriptor, "LINE @ 4_A");
    EXPECT_EQ(out.year, 255);
    EXPECT_EQ(out.upperRange, 1000.125f);
    EXPECT_EQ(out.lowerRange, -0.1f);
    EXPECT_EQ(out.trimLowerReading, 21.0f);
    EXPECT_TRUE(std::isnan(out.trimUpperReference));
    EXPECT_EQ(out.sensorFault, SensorFault::Short);
    EXPECT_TRUE(out.electronicsFault);
    EXPECT_FALSE(out.drift);
}

TEST(StateFile, NumbersDoNotDependOnTheLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) GTEST_SKIP() << "ru_RU.UTF-8 not installed";
    std::string text = FormatState(Unusual());
    DeviceConfig out;
    std::string error = ParseState(text, out);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(error, "");
    EXPECT_NE(text.find("upper_range = 1000.125"), std::string::npos);
}

TEST(StateFile, MissingKeysKeepTheirFactoryValues) {
    DeviceConfig out = Unusual();
    ASSERT_EQ(ParseState("# only a few\nformat = 1\n\ntag = pump\r\ndevice_id = 0x000102\n", out), "");
    EXPECT_EQ(out.tag, "pump");
    EXPECT_EQ(out.identity.deviceId, 0x102u);
    EXPECT_EQ(out.sensorType, 1);
    EXPECT_EQ(out.damping, 1.0f);
}

TEST(StateFile, BadFilesAreRefusedWithTheLineAndTheReason) {
    struct Case {
        const char* label;
        std::string text;
        std::string error;
    } cases[] = {
        {"empty", "", "not a simulator state file"},
        {"no format", "tag = A\n", "not a simulator state file"},
        {"other format", "format = 2\n", "line 1: unknown format"},
        {"binary", std::string("format = 1\n\x7f\x45\x4c\x46\x02\x01", 16), "line 2: holds a character"},
        {"no equals sign", "format = 1\njust words\n", "line 2: \"key = value\" expected"},
        {"unknown key", "format = 1\ncolour = red\n", "line 2: unknown key \"colour\""},
        {"repeated key", "format = 1\ntag = A\ntag = B\n", "line 3: key \"tag\" repeated"},
        {"number with junk", "format = 1\ndamping = 2s\n", "line 2: damping: a finite number expected"},
        {"not finite", "format = 1\ndamping = inf\n", "line 2: damping: a finite number"},
        {"negative byte", "format = 1\nsensor_type = -1\n", "line 2: sensor_type: a whole number 0..255"},
        {"byte too big", "format = 1\nsensor_type = 256\n", "line 2: sensor_type: a whole number 0..255"},
        {"24 bits", "format = 1\ndevice_id = 0x1000000\n", "line 2: device_id: a whole number 0..16777215"},
        {"tag too long", "format = 1\ntag = ABCDEFGHI\n", "line 2: tag: at most 8 characters"},
        {"bad date", "format = 1\ndate = 31.13.2024\n", "line 2: date: a date DD.MM.YYYY"},
        {"year", "format = 1\ndate = 01.01.1899\n", "line 2: date: a date"},
        {"trim", "format = 1\ntrim_lower = 20\n", "line 2: trim_lower: \"none\" or two numbers"},
        {"fault", "format = 1\nsensor_fault = maybe\n", "line 2: sensor_fault: none, open or short"},
        {"flag", "format = 1\ndrift = yes\n", "line 2: drift: 0 or 1"},
        {"long line", "format = 1\n# " + std::string(300, 'x') + "\n", "line 2: longer than 256"},
        {"huge", "format = 1\n" + std::string(70000, '\n'), "longer than 65536 bytes"},
        {"unknown sensor", "format = 1\nsensor_type = 2\n", "sensor_type is not a sensor type"},
        {"wiring", "format = 1\nsensor_type = 132\nsensor_connection = 4\n", "sensor_connection does not suit"},
        {"range", "format = 1\nupper_range = 900\n", "range values lie outside the sensor limits"},
        {"span", "format = 1\nupper_range = 5\n", "range span is below"},
        {"units", "format = 1\nrange_units = 36\n", "range_units do not suit"},
        {"damping", "format = 1\ndamping = 0.1\n", "damping must be"},
        {"levels", "format = 1\nhigh_alarm = 25\n", "alarm and saturation levels"},
        {"tag charset", "format = 1\ntag = a{b\n", "tag must be"},
        {"protect", "format = 1\nwrite_protect = 2\n", "write_protect must be 0 or 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DeviceConfig out = Unusual();
        std::string error = ParseState(c.text, out);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(FormatState(out), FormatState(Unusual())); // untouched
    }
}

TEST(StateFile, LoadAndSaveThroughTheFileSystem) {
    zelhart::testing::TempDir dir;
    std::string path = dir / "device.state";
    DeviceConfig out;
    EXPECT_NE(LoadStateFile(path, out).find("No such file"), std::string::npos);
    ASSERT_EQ(SaveStateFile(path, Unusual()), "");
    ASSERT_EQ(LoadStateFile(path, out), "");
    EXPECT_EQ(FormatState(out), FormatState(Unusual()));

    { std::ofstream(path) << "format = 1\ncolour = red\n"; }
    std::string error = LoadStateFile(path, out);
    EXPECT_EQ(error.rfind(path + ": line 2:", 0), 0u) << error;

    { std::ofstream(path, std::ios::binary) << std::string(100000, 'x'); }
    EXPECT_NE(LoadStateFile(path, out).find("longer than"), std::string::npos);
    EXPECT_NE(SaveStateFile(dir / "missing/dir/file", Unusual()), "");
}

TEST(StateFile, ALoadedConfigurationRunsTheTransmitter) {
    DeviceConfig c;
    ASSERT_EQ(ParseState("format = 1\ndevice_id = 0x010203\nsensor_fault = open\n", c), "");
    KorvelDevice device(c);
    EXPECT_EQ(device.LongAddress()[4], 0x03);
    EXPECT_EQ(device.AdditionalStatus()[4], 0x01);
}

} // namespace
} // namespace zelhart::sim
