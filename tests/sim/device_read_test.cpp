// Read commands: layout, byte counts and values of every answer.
#include "device_test_fixture.h"
#include "zelhart/sim/packed_ascii.h"

#include <cmath>

namespace zelhart::sim {
namespace {

using namespace testing;

DeviceConfig Steady() {
    DeviceConfig c = FactoryConfig();
    c.drift = false;
    return c;
}

class DeviceRead : public DeviceTest {
protected:
    DeviceRead() : DeviceTest(Steady()) {}
};

TEST_F(DeviceRead, Command1PrimaryVariable) {
    Reply r = Send(1);
    ASSERT_EQ(r.data().size(), 5u);
    EXPECT_EQ(r.U8(0), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(1), 21.5f);
}

TEST_F(DeviceRead, Command2LoopCurrentAndPercentOfRange) {
    Reply r = Send(2);
    ASSERT_EQ(r.data().size(), 8u);
    EXPECT_FLOAT_EQ(r.F(0), 4.0f + 16.0f * 0.215f);
    EXPECT_FLOAT_EQ(r.F(4), 21.5f);
}

TEST_F(DeviceRead, Command3DynamicVariables) {
    Reply r = Send(3);
    ASSERT_EQ(r.data().size(), 24u);
    EXPECT_FLOAT_EQ(r.F(0), 7.44f);
    EXPECT_EQ(r.U8(4), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(5), 21.5f);
    EXPECT_EQ(r.U8(9), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(10), 24.0f);
    EXPECT_EQ(r.U8(14), 250);
    EXPECT_EQ(FloatBitsAt(r.data(), 15), 0x7FA00000u);
    EXPECT_EQ(r.U8(19), 250);
    EXPECT_EQ(FloatBitsAt(r.data(), 20), 0x7FA00000u);
}

TEST_F(DeviceRead, Command13TagDescriptorDate) {
    Reply r = Send(13);
    ASSERT_EQ(r.data().size(), 21u);
    EXPECT_EQ(UnpackAscii(r.data().subspan(0, 6)), "TT-101  ");
    EXPECT_EQ(UnpackAscii(r.data().subspan(6, 12)), "KORVEL-4810     ");
    EXPECT_EQ(r.U8(18), 14);
    EXPECT_EQ(r.U8(19), 3);
    EXPECT_EQ(r.U8(20), 124);
}

TEST_F(DeviceRead, Command14TransducerLimitsInRangeUnits) {
    Reply r = Send(14);
    ASSERT_EQ(r.data().size(), 16u);
    EXPECT_EQ(HexBytes(r.data().subspan(0, 3)), "03 4a b5"); // 215733
    EXPECT_EQ(r.U8(3), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(4), 850.0f);
    EXPECT_FLOAT_EQ(r.F(8), -200.0f);
    EXPECT_FLOAT_EQ(r.F(12), 10.0f);

    ASSERT_EQ(Code(44, {kUnitFahrenheit}), 0);
    Reply f = Send(14);
    EXPECT_EQ(f.U8(3), kUnitFahrenheit);
    EXPECT_FLOAT_EQ(f.F(4), 1562.0f);
    EXPECT_FLOAT_EQ(f.F(8), -328.0f);
    EXPECT_FLOAT_EQ(f.F(12), 18.0f);
}

TEST_F(DeviceRead, Command15OutputInformation) {
    Reply r = Send(15);
    ASSERT_EQ(r.data().size(), 17u);
    EXPECT_EQ(r.U8(0), 0);            // alarm high
    EXPECT_EQ(r.U8(1), 0);            // linear
    EXPECT_EQ(r.U8(2), kUnitCelsius); // range units
    EXPECT_FLOAT_EQ(r.F(3), 100.0f);
    EXPECT_FLOAT_EQ(r.F(7), 0.0f);
    EXPECT_FLOAT_EQ(r.F(11), 1.0f);
    EXPECT_EQ(r.U8(15), 0); // not write protected
    EXPECT_EQ(r.U8(16), 153);
}

TEST_F(DeviceRead, Command16FinalAssemblyNumber) {
    Reply r = Send(16);
    EXPECT_EQ(HexBytes(r.data()), "07 56 e9"); // 481001
}

TEST_F(DeviceRead, Command33DeviceVariablesAsTheProgramAsks) {
    Reply r = Send(33, {1, 2, 250, 250});
    ASSERT_EQ(r.data().size(), 24u);
    EXPECT_EQ(r.U8(0), 1);
    EXPECT_EQ(r.U8(1), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(2), 24.0f);
    EXPECT_EQ(r.U8(6), 2);
    EXPECT_EQ(r.U8(7), kUnitCelsius);
    EXPECT_FLOAT_EQ(r.F(8), 21.5f);
    EXPECT_EQ(r.U8(12), 250);
    EXPECT_EQ(r.U8(13), 250);
    EXPECT_EQ(FloatBitsAt(r.data(), 14), 0x7FA00000u);
}

TEST_F(DeviceRead, Command33SensorInputAndSelections) {
    Reply one = Send(33, {0});
    ASSERT_EQ(one.data().size(), 6u);
    EXPECT_EQ(one.U8(1), kUnitOhm);
    EXPECT_NEAR(one.F(2), 18.52f + (21.5f + 200.0f) * (390.4811f - 18.52f) / 1050.0f, 1e-3);
    Reply five = Send(33, {1, 2, 1, 2, 1}); // at most four variables
    EXPECT_EQ(five.data().size(), 24u);
    Reply bad = Send(33, {1, 7});
    EXPECT_EQ(bad.code(), 2);
    EXPECT_TRUE(bad.data().empty());
}

TEST_F(DeviceRead, Command48AdditionalStatusOfAHealthyTransmitter) {
    Reply r = Send(48);
    EXPECT_EQ(HexBytes(r.data()), "00 00 00 00 00");
    EXPECT_EQ(r.status() & kStatusMoreStatus, 0);
}

TEST_F(DeviceRead, Command140SensorConfiguration) {
    Reply r = Send(140, {0});
    EXPECT_EQ(HexBytes(r.data()), "00 01 03");
    EXPECT_EQ(Code(140, {1}), 9); // no sensor 1
}

TEST_F(DeviceRead, Command150And189FilterAndLevels) {
    EXPECT_EQ(HexBytes(Send(150).data()), "01");
    Reply r = Send(189);
    ASSERT_EQ(r.data().size(), 16u);
    EXPECT_FLOAT_EQ(r.F(0), 21.0f);
    EXPECT_FLOAT_EQ(r.F(4), 3.6f);
    EXPECT_FLOAT_EQ(r.F(8), 20.5f);
    EXPECT_FLOAT_EQ(r.F(12), 3.8f);
}

TEST_F(DeviceRead, Command139ReadsEveryThermometerParameter) {
    struct Case {
        uint8_t param;
        const char* answer;
    } cases[] = {
        {108, "01 00 6c 02 0c 00 00"}, {76, "01 00 4c 02 00 00 00"},  {74, "01 00 4a 01 00 00 00"},
        {75, "01 00 4b 03 00 00 00"},  {110, "01 00 6e 00 a0 00 00"}, {77, "01 00 4d 0e 03 7c 00"},
        {194, "01 00 c2 01 97 29 00"},
    };
    for (const auto& c : cases) {
        Reply r = Send(139, {1, 0, c.param, 0, 0, 0, 0});
        EXPECT_EQ(r.code(), 0);
        EXPECT_EQ(HexBytes(r.data()), c.answer) << int(c.param);
    }
    EXPECT_EQ(Code(139, {1, 0, 99, 0, 0, 0, 0}), 2); // unknown parameter
    EXPECT_EQ(Code(139, {3, 0, 76, 0, 0, 0, 0}), 2); // unknown operation
}

TEST_F(DeviceRead, LoopCurrentSaturatesAndFlagsTheStatus) {
    device.SetProcessValue(150.0f);
    Reply r = Send(3);
    EXPECT_FLOAT_EQ(r.F(0), 20.5f);
    EXPECT_EQ(r.status() & (kStatusLoopCurrentSaturated | kStatusPvOutOfLimits), kStatusLoopCurrentSaturated);
    device.SetProcessValue(-100.0f);
    EXPECT_FLOAT_EQ(Send(3).F(0), 3.8f);
    device.SetProcessValue(900.0f); // beyond the Pt100's 850 degrees
    EXPECT_EQ(Send(3).status() & kStatusPvOutOfLimits, kStatusPvOutOfLimits);
}

TEST(DeviceLive, ValuesWanderALittleAndTheSameTimeGivesTheSameValue) {
    KorvelDevice device;
    auto a = device.Live(Seconds(10));
    auto b = device.Live(Seconds(20));
    auto again = device.Live(Seconds(10));
    EXPECT_NE(a.measured, b.measured);
    EXPECT_EQ(a.measured, again.measured);
    EXPECT_NEAR(a.measured, 21.5f, 0.08f);
    EXPECT_NEAR(b.electronicsTemperature, 24.0f, 0.31f);
    EXPECT_NE(a.loopCurrent, b.loopCurrent);
}

DeviceConfig WithFault(SensorFault fault, bool electronics, uint8_t alarmType) {
    DeviceConfig c = Steady();
    c.sensorFault = fault;
    c.electronicsFault = electronics;
    c.alarmType = alarmType;
    return c;
}

TEST(DeviceFaults, OpenSensorDrivesTheAlarmCurrentAndTheStatusBytes) {
    KorvelDevice device(WithFault(SensorFault::Open, false, 0));
    auto r = device.Handle(Request(48), Seconds(1));
    ASSERT_TRUE(r);
    Reply reply{*r};
    EXPECT_EQ(HexBytes(reply.data()), "01 01 80 19 01");
    EXPECT_EQ(reply.status() & (kStatusMoreStatus | kStatusPvOutOfLimits | kStatusMalfunction),
              kStatusMoreStatus | kStatusPvOutOfLimits);
    auto v = device.Live(Seconds(1));
    EXPECT_TRUE(std::isnan(v.measured));
    EXPECT_FLOAT_EQ(v.loopCurrent, 21.0f);
}

TEST(DeviceFaults, ShortedSensorWithLowAlarm) {
    KorvelDevice device(WithFault(SensorFault::Short, false, 1));
    EXPECT_EQ(device.AdditionalStatus()[4], 0x02);
    EXPECT_FLOAT_EQ(device.Live(Seconds(1)).loopCurrent, 3.6f);
}

TEST(DeviceFaults, ElectronicsFaultSetsTheMalfunctionBit) {
    KorvelDevice device(WithFault(SensorFault::None, true, 1));
    EXPECT_EQ(device.DeviceStatus(Seconds(1)) & kStatusMalfunction, kStatusMalfunction);
    EXPECT_EQ(device.AdditionalStatus()[4] & 0x03, 0); // not a sensor fault
    EXPECT_FLOAT_EQ(device.Live(Seconds(1)).loopCurrent, 3.6f);
}

} // namespace
} // namespace zelhart::sim
