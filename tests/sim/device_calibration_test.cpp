// Sensor calibration: information, mode, trim points and what the trims do to the measured value.
#include "device_test_fixture.h"

#include <cmath>

namespace zelhart::sim {
namespace {

using namespace testing;

class DeviceCalibration : public DeviceTest {
protected:
    DeviceCalibration() : DeviceTest(Steady()) {}
    static DeviceConfig Steady() {
        DeviceConfig c = FactoryConfig();
        c.drift = false;
        return c;
    }
    Bytes Point(float v, uint8_t units = kUnitCelsius) { return Cat({{units}, Float(v)}); }
    float Measured() { return Send(1).F(1); }
    std::array<uint8_t, 5> Status() { return device.AdditionalStatus(); }
};

TEST_F(DeviceCalibration, Command142ReportsLimitsModeAndTrimPoints) {
    EXPECT_EQ(Code(142, {1, kUnitCelsius}), 9);
    EXPECT_EQ(Code(142, {0, kUnitMillivolt}), 12); // not a unit of a resistance thermometer
    EXPECT_EQ(Code(142, {0, 38}), 12);
    Reply r = Send(142, {0, kUnitCelsius});
    ASSERT_EQ(r.data().size(), 19u);
    EXPECT_EQ(HexBytes(r.data().subspan(0, 3)), "00 20 00");
    EXPECT_FLOAT_EQ(r.F(3), 850.0f);
    EXPECT_FLOAT_EQ(r.F(7), -200.0f);
    EXPECT_EQ(FloatBitsAt(r.data(), 11), 0x7FA00000u); // no upper trim point
    EXPECT_EQ(FloatBitsAt(r.data(), 15), 0x7FA00000u);
    Reply ohm = Send(142, {0, kUnitOhm});
    EXPECT_FLOAT_EQ(ohm.F(3), 390.4811f);
    EXPECT_FLOAT_EQ(ohm.F(7), 18.52f);
}

TEST_F(DeviceCalibration, Command145SwitchesTheMode) {
    EXPECT_EQ(Code(145, {1, 1}), 9);
    EXPECT_EQ(Code(145, {0, 2}), 12);
    Reply r = Send(145, {0, 1});
    EXPECT_EQ(HexBytes(r.data()), "00 01");
    EXPECT_EQ(Send(142, {0, kUnitCelsius}).U8(2), 1);
}

TEST_F(DeviceCalibration, TrimPointsAreJudgedBeforeAnythingChanges) {
    EXPECT_EQ(Code(131, Point(20.0f)), 16); // factory calibration cannot be trimmed
    ASSERT_EQ(Code(145, {0, 1}), 0);
    EXPECT_EQ(Code(131, Point(20.0f, kUnitMillivolt)), 12);
    EXPECT_EQ(Code(130, Point(20.0f, 38)), 12);
    EXPECT_EQ(Code(131, Point(851.0f)), 9);
    EXPECT_EQ(Code(130, Point(-201.0f)), 10);
    EXPECT_FLOAT_EQ(Measured(), 21.5f);
}

TEST_F(DeviceCalibration, LowerPointShiftsTheMeasuredValue) {
    ASSERT_EQ(Code(145, {0, 1}), 0);
    Reply r = Send(131, Point(20.0f));
    EXPECT_EQ(r.code(), 0);
    EXPECT_EQ(HexBytes(r.data()), HexBytes(Point(20.0f)));
    EXPECT_FLOAT_EQ(Measured(), 20.0f);
    EXPECT_FLOAT_EQ(Send(142, {0, kUnitCelsius}).F(15), 20.0f);
    EXPECT_FLOAT_EQ(Send(142, {0, kUnitFahrenheit}).F(15), 68.0f);
    EXPECT_EQ(HexBytes(Status()), "00 00 00 00 00");
}

TEST_F(DeviceCalibration, APointFarFromTheReadingIsAnsweredButFlaggedAndNotTaken) {
    ASSERT_EQ(Code(145, {0, 1}), 0);
    EXPECT_EQ(Code(131, Point(100.0f)), 0);
    auto s = Status();
    EXPECT_EQ(s[2] & 0x08, 0x08);
    EXPECT_EQ(s[3] & 0x04, 0x04);
    EXPECT_EQ(Send(13).status() & kStatusMoreStatus, kStatusMoreStatus);
    EXPECT_FLOAT_EQ(Measured(), 21.5f);
    // A reset clears the flags; so does a trim that is taken.
    Send(42);
    EXPECT_EQ(HexBytes(Status()), "00 00 00 00 00");
    EXPECT_EQ(Code(131, Point(100.0f)), 0);
    EXPECT_EQ(Code(131, Point(21.0f)), 0);
    EXPECT_EQ(HexBytes(Status()), "00 00 00 00 00");
}

TEST_F(DeviceCalibration, TwoPointsMakeAStraightLine) {
    ASSERT_EQ(Code(145, {0, 1}), 0);
    ASSERT_EQ(Code(131, Point(20.0f)), 0);
    EXPECT_EQ(Code(130, Point(25.0f)), 14); // the process has not moved: no span between the readings
    device.SetProcessValue(80.0f);
    ASSERT_EQ(Code(130, Point(81.0f)), 0);
    EXPECT_FLOAT_EQ(Measured(), 81.0f);
    device.SetProcessValue(50.75f);
    EXPECT_NEAR(Measured(), 20.0f + (50.75f - 21.5f) * (61.0f / 58.5f), 1e-3);
    Reply info = Send(142, {0, kUnitCelsius});
    EXPECT_FLOAT_EQ(info.F(11), 81.0f);
    EXPECT_FLOAT_EQ(info.F(15), 20.0f);
}

TEST_F(DeviceCalibration, FactoryModeDropsTheTrimPoints) {
    ASSERT_EQ(Code(145, {0, 1}), 0);
    ASSERT_EQ(Code(131, Point(20.0f)), 0);
    ASSERT_EQ(Code(145, {0, 0}), 0);
    EXPECT_FLOAT_EQ(Measured(), 21.5f);
    EXPECT_EQ(FloatBitsAt(Send(142, {0, kUnitCelsius}).data(), 15), 0x7FA00000u);
}

TEST_F(DeviceCalibration, ANewSensorStartsWithTheFactoryCalibration) {
    ASSERT_EQ(Code(145, {0, 1}), 0);
    ASSERT_EQ(Code(131, Point(20.0f)), 0);
    ASSERT_EQ(Code(141, {0, 15, 3}), 0);
    EXPECT_EQ(Send(142, {0, kUnitCelsius}).U8(2), 0);
    EXPECT_FLOAT_EQ(Measured(), 21.5f);
}

TEST(DeviceCalibrationFault, NoTrimWhileTheSensorIsBroken) {
    DeviceConfig c = FactoryConfig();
    c.calibrationMode = 1;
    c.sensorFault = SensorFault::Open;
    KorvelDevice device(c);
    auto r = device.Handle(Request(131, Cat({{kUnitCelsius}, Float(20.0f)})), Seconds(1));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 13);
}

} // namespace
} // namespace zelhart::sim
