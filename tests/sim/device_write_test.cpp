// Write commands: what each stores, echoes and refuses, with the response code of each refusal.
#include "device_test_fixture.h"
#include "zelhart/sim/packed_ascii.h"

#include <cmath>
#include <limits>

namespace zelhart::sim {
namespace {

using namespace testing;

using DeviceWrite = DeviceTest;

// A well-formed request for every command that takes data.
const std::vector<std::pair<uint8_t, Bytes>>& ValidWrites() {
    static const std::vector<std::pair<uint8_t, Bytes>> writes = {
        {18, Cat({PackAscii("TAG", 8), PackAscii("DESC", 16), {1, 2, 120}})},
        {34, Float(2.0f)},
        {35, Cat({{kUnitCelsius}, Float(150.0f), Float(-50.0f)})},
        {40, Float(12.0f)},
        {44, {kUnitKelvin}},
        {45, Float(4.0f)},
        {46, Float(20.0f)},
        {130, Cat({{kUnitCelsius}, Float(30.0f)})},
        {131, Cat({{kUnitCelsius}, Float(20.0f)})},
        {141, {0, 1, 4}},
        {145, {0, 1}},
        {151, {0}},
        {155, Cat({Float(22.0f), Float(3.55f), Float(20.8f), Float(3.85f)})},
        {162, {1}},
        {33, {1}},
        {139, {1, 0, 76, 0, 0, 0, 0}},
        {140, {0}},
        {142, {0, kUnitCelsius}},
        {195, {0, 0, 0, 0}},
    };
    return writes;
}

TEST_F(DeviceWrite, TooFewDataBytesIsCode5ForEveryCommandThatTakesData) {
    for (const auto& [cmd, data] : ValidWrites()) {
        Bytes shortData(data.begin(), data.end() - 1);
        Reply r = Send(cmd, shortData);
        EXPECT_EQ(r.code(), 5) << "command " << int(cmd);
        EXPECT_TRUE(r.data().empty()) << "command " << int(cmd);
    }
}

TEST_F(DeviceWrite, WriteProtectionRefusesEveryWriteWithCode7) {
    ASSERT_EQ(Code(195, {0, 0, 0, 1}), 0);
    EXPECT_EQ(Send(15).U8(15), 1);
    for (const auto& [cmd, data] : ValidWrites()) {
        if (cmd == 195) continue; // the switch itself, below
        bool isRead = cmd == 33 || cmd == 139 || cmd == 140 || cmd == 142;
        EXPECT_EQ(Code(cmd, data), isRead ? 0 : 7) << "command " << int(cmd);
    }
    EXPECT_EQ(Code(139, {2, 0, 76, 1, 0, 0, 0}), 7); // writing a thermometer parameter
    EXPECT_EQ(Code(42), 0);
    EXPECT_EQ(Code(195, {0, 0, 0, 0}), 0); // protection can be taken off
    EXPECT_EQ(Code(151, {0}), 0);
}

TEST_F(DeviceWrite, Command18StoresTagDescriptorDate) {
    Bytes data = Cat({PackAscii("abc", 8), PackAscii("Boiler 3", 16), {2, 11, 125}});
    Reply r = Send(18, data);
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(HexBytes(r.data()), HexBytes(data));
    Reply back = Send(13);
    EXPECT_EQ(HexBytes(back.data()), HexBytes(data));
    EXPECT_EQ(device.config().tag, "ABC");
    EXPECT_EQ(device.config().descriptor, "BOILER 3");
    EXPECT_EQ(Code(18, Cat({PackAscii("X", 8), PackAscii("", 16), {0, 1, 120}})), 9);  // day 0
    EXPECT_EQ(Code(18, Cat({PackAscii("X", 8), PackAscii("", 16), {1, 13, 120}})), 9); // month 13
    EXPECT_EQ(device.config().tag, "ABC");
}

TEST_F(DeviceWrite, Command34DampingBelowHalfASecondIsRoundedWithCode8) {
    Reply ok = Send(34, Float(2.0f));
    EXPECT_EQ(ok.code(), 0);
    EXPECT_FLOAT_EQ(ok.F(0), 2.0f);
    Reply low = Send(34, Float(0.2f));
    EXPECT_EQ(low.code(), 8);
    EXPECT_FLOAT_EQ(low.F(0), 0.5f);
    EXPECT_FLOAT_EQ(device.config().damping, 0.5f);
    EXPECT_EQ(Code(34, Float(-1.0f)), 8);
    EXPECT_EQ(Code(34, Float(32.5f)), 3);
    EXPECT_EQ(Code(34, Float(std::numeric_limits<float>::quiet_NaN())), 4);
    EXPECT_EQ(Code(34, Float(32.0f)), 0);
}

TEST_F(DeviceWrite, Command35JudgesRangeValuesAgainstTheSensorLimits) {
    // Pt100 in degrees Celsius: limits -200..850, smallest span 10.
    struct Case {
        uint8_t units;
        float upper, lower;
        uint8_t code;
    } cases[] = {
        {kUnitCelsius, 100, 0, 0},    {kUnitCelsius, 100, 900, 9},  {kUnitCelsius, 100, -250, 10},
        {kUnitCelsius, 900, 0, 11},   {kUnitCelsius, -250, 0, 12},  {kUnitCelsius, 900, -250, 13},
        {kUnitCelsius, 5, 0, 14},     {kUnitMillivolt, 10, 0, 2},   {kUnitCelsius, 850, -200, 0},
        {kUnitCelsius, 0, 100, 0},    {kUnitOhm, 200, 100, 0},      {kUnitCelsius, 850.01f, 0, 11},
    };
    for (const auto& c : cases) {
        Bytes data = Cat({{c.units}, Float(c.upper), Float(c.lower)});
        Reply r = Send(35, data);
        EXPECT_EQ(r.code(), c.code) << c.upper << " " << c.lower;
        if (c.code == 0) EXPECT_EQ(HexBytes(r.data()), HexBytes(data));
        else EXPECT_TRUE(r.data().empty());
    }
}

TEST_F(DeviceWrite, Command35StoresInTheRangeUnits) {
    ASSERT_EQ(Code(35, Cat({{kUnitFahrenheit}, Float(212.0f), Float(32.0f)})), 0);
    Reply r = Send(15);
    EXPECT_EQ(r.U8(2), kUnitCelsius);
    EXPECT_NEAR(r.F(3), 100.0f, 1e-4);
    EXPECT_NEAR(r.F(7), 0.0f, 1e-4);
    // A refused range leaves the stored one alone.
    ASSERT_EQ(Code(35, Cat({{kUnitCelsius}, Float(900.0f), Float(0.0f)})), 11);
    EXPECT_NEAR(Send(15).F(3), 100.0f, 1e-4);
}

TEST_F(DeviceWrite, Command44ConvertsTheRangeToTheNewUnits) {
    EXPECT_EQ(Code(44, {kUnitMillivolt}), 2); // not for a resistance thermometer
    EXPECT_EQ(Code(44, {38}), 2);
    Reply r = Send(44, {kUnitKelvin});
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(HexBytes(r.data()), "23");
    Reply out = Send(15);
    EXPECT_EQ(out.U8(2), kUnitKelvin);
    EXPECT_FLOAT_EQ(out.F(3), 373.15f);
    EXPECT_FLOAT_EQ(out.F(7), 273.15f);
    EXPECT_NEAR(Send(1).F(1), 21.5f + 273.15f, 0.1f);
}

TEST_F(DeviceWrite, Command40FixesTheLoopCurrent) {
    Reply r = Send(40, Float(12.0f));
    EXPECT_EQ(r.code(), 0);
    EXPECT_FLOAT_EQ(r.F(0), 12.0f);
    Reply dyn = Send(3);
    EXPECT_FLOAT_EQ(dyn.F(0), 12.0f);
    EXPECT_EQ(dyn.status() & kStatusLoopCurrentFixed, kStatusLoopCurrentFixed);
    EXPECT_EQ(Code(40, Float(3.0f)), 4);
    EXPECT_EQ(Code(40, Float(23.5f)), 3);
    EXPECT_EQ(Code(40, Float(0.0f)), 0); // leaves fixed-current mode
    EXPECT_FALSE(device.fixedCurrent());
    EXPECT_EQ(Send(3).status() & kStatusLoopCurrentFixed, 0);
}

TEST_F(DeviceWrite, Commands45And46TrimTheLoopOnlyAtTheirFixedPoint) {
    EXPECT_EQ(Code(45, Float(4.0f)), 9); // not in fixed-current mode
    ASSERT_EQ(Code(40, Float(4.0f)), 0);
    EXPECT_EQ(Code(46, Float(20.0f)), 9); // fixed at 4 mA, not 20
    EXPECT_EQ(Code(45, Float(4.25f)), 3);
    EXPECT_EQ(Code(45, Float(3.79f)), 4);
    Reply zero = Send(45, Float(4.1f));
    EXPECT_EQ(zero.code(), 0);
    EXPECT_FLOAT_EQ(zero.F(0), 4.1f);
    EXPECT_FLOAT_EQ(device.config().loopZeroMeasured, 4.1f);
    ASSERT_EQ(Code(40, Float(20.0f)), 0);
    EXPECT_EQ(Code(46, Float(20.6f)), 3);
    EXPECT_EQ(Code(46, Float(19.4f)), 4);
    EXPECT_EQ(Code(46, Float(19.9f)), 0);
    EXPECT_FLOAT_EQ(device.config().loopGainMeasured, 19.9f);
}

TEST_F(DeviceWrite, Command42ResetEndsFixedCurrentMode) {
    ASSERT_EQ(Code(40, Float(8.0f)), 0);
    Reply r = Send(42);
    EXPECT_EQ(r.code(), 0);
    EXPECT_TRUE(r.data().empty());
    EXPECT_FALSE(device.fixedCurrent());
}

TEST_F(DeviceWrite, Command141ValidatesSensorNumberTypeAndConnection) {
    EXPECT_EQ(Code(141, {1, 1, 3}), 9);
    EXPECT_EQ(Code(141, {0, 2, 3}), 11);   // no sensor type 2
    EXPECT_EQ(Code(141, {0, 250, 2}), 11);
    EXPECT_EQ(Code(141, {0, 132, 3}), 12); // a thermocouple has two wires
    EXPECT_EQ(Code(141, {0, 1, 5}), 12);
    EXPECT_EQ(Code(141, {0, 1, 251}), 12);
    EXPECT_EQ(HexBytes(Send(140, {0}).data()), "00 01 03");

    Reply k = Send(141, {0, 132, 2}); // type K keeps 0..100 degrees
    EXPECT_EQ(k.code(), 0);
    EXPECT_EQ(HexBytes(k.data()), "00 84 02");
    EXPECT_EQ(HexBytes(Send(140, {0}).data()), "00 84 02");
    EXPECT_FLOAT_EQ(Send(15).F(3), 100.0f);
}

TEST_F(DeviceWrite, Command141AdjustsARangeThatNoLongerFitsWithCode8) {
    Reply mv = Send(141, {0, 128, 2}); // millivolt input: degrees are not its unit
    EXPECT_EQ(mv.code(), 8);
    EXPECT_EQ(HexBytes(mv.data()), "00 80 02");
    Reply out = Send(15);
    EXPECT_EQ(out.U8(2), kUnitMillivolt);
    EXPECT_FLOAT_EQ(out.F(3), 100.0f);
    EXPECT_FLOAT_EQ(out.F(7), -10.0f);

    Reply rtd = Send(141, {0, 15, 4});
    EXPECT_EQ(rtd.code(), 8);
    Reply back = Send(15);
    EXPECT_EQ(back.U8(2), kUnitCelsius);
    EXPECT_FLOAT_EQ(back.F(3), 550.0f);
    EXPECT_FLOAT_EQ(back.F(7), -200.0f);
}

TEST_F(DeviceWrite, Command151And162AcceptOnlyTheirCodes) {
    EXPECT_EQ(Code(151, {2}), 2);
    EXPECT_EQ(HexBytes(Send(151, {0}).data()), "00");
    EXPECT_EQ(HexBytes(Send(150).data()), "00");
    EXPECT_EQ(Code(162, {2}), 2);
    EXPECT_EQ(HexBytes(Send(162, {1}).data()), "01");
    EXPECT_EQ(Send(15).U8(0), 1);
}

TEST_F(DeviceWrite, Command155ChecksEachLevelWithItsOwnCode) {
    auto levels = [](float ha, float la, float hs, float ls) {
        return Cat({Float(ha), Float(la), Float(hs), Float(ls)});
    };
    EXPECT_EQ(Code(155, levels(20.0f, 3.6f, 20.5f, 3.8f)), 10);  // high alarm below 21
    EXPECT_EQ(Code(155, levels(23.5f, 3.6f, 20.5f, 3.8f)), 10);
    EXPECT_EQ(Code(155, levels(21.0f, 3.6f, 21.0f, 3.8f)), 11);  // saturation not below the alarm
    EXPECT_EQ(Code(155, levels(21.0f, 3.6f, 20.0f, 3.8f)), 11);
    EXPECT_EQ(Code(155, levels(21.0f, 3.4f, 20.5f, 3.8f)), 12);  // low alarm below 3.5
    EXPECT_EQ(Code(155, levels(21.0f, 3.8f, 20.5f, 3.85f)), 12); // low alarm above 3.75
    EXPECT_EQ(Code(155, levels(21.0f, 3.75f, 20.5f, 3.75f)), 13); // saturation not above the alarm
    EXPECT_EQ(Code(155, levels(21.0f, 3.6f, 20.5f, 4.0f)), 13);
    Bytes good = levels(22.5f, 3.5f, 20.9f, 3.7f);
    Reply r = Send(155, good);
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(HexBytes(r.data()), HexBytes(good));
    EXPECT_EQ(HexBytes(Send(189).data()), HexBytes(good));
}

TEST_F(DeviceWrite, Command195NeedsItsZeroCodeAndAValidSwitch) {
    EXPECT_EQ(Code(195, {0, 0, 1, 1}), 16);
    EXPECT_EQ(Code(195, {0, 0, 0, 2}), 2);
    Reply r = Send(195, {0, 0, 0, 1});
    EXPECT_EQ(HexBytes(r.data()), "00 00 00 01");
    EXPECT_EQ(device.config().writeProtect, 1);
}

TEST_F(DeviceWrite, Command139WritesThermometerParameters) {
    Reply r = Send(139, {2, 0, 76, 3, 9, 9, 0});
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(HexBytes(r.data()), "02 00 4c 03 00 00 00");
    EXPECT_EQ(HexBytes(Send(139, {1, 0, 76, 0, 0, 0, 0}).data()), "01 00 4c 03 00 00 00");
    EXPECT_EQ(HexBytes(Send(139, {2, 0, 110, 0x01, 0x2C, 0, 0}).data()), "02 00 6e 01 2c 00 00");
    EXPECT_EQ(device.config().thermometer.mountingLength, 300);
    EXPECT_EQ(HexBytes(Send(139, {2, 0, 194, 0x12, 0x34, 0x56, 0}).data()), "02 00 c2 12 34 56 00");
    EXPECT_EQ(Code(139, {2, 0, 108, 6, 1, 0, 0}), 3); // letters A..E only
    EXPECT_EQ(Code(139, {2, 0, 77, 0, 1, 120, 0}), 2); // no day 0
}

} // namespace
} // namespace zelhart::sim
