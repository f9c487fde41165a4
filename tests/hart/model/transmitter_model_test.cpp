#include "hart/sensor_limits.h"
#include "hart/transmitter_model.h"

#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

std::uint32_t Bits(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

// A model whose edit handler counts the edits.
struct EditCounter {
    CTransmitterModel model;
    int edits = 0;
    EditCounter() {
        model.SetEditHandler([this] { ++edits; });
    }
};

using FloatSetter = void (CTransmitterModel::*)(float);
using IntSetter = void (CTransmitterModel::*)(std::int32_t);

struct FloatField {
    const char* name;
    FloatSetter set;
    float (CTransmitterModel::*get)() const;
    Field flag;
};

struct IntField {
    const char* name;
    IntSetter set;
    std::int32_t (CTransmitterModel::*get)() const;
    Field flag;
};

using M = CTransmitterModel;

// The float fields the user edits on the basic and advanced pages.
const std::vector<FloatField> kEditedFloats = {
    {"upperRange", &M::SetUpperRange, &M::GetUpperRange, Field::UpperRange},
    {"lowerRange", &M::SetLowerRange, &M::GetLowerRange, Field::LowerRange},
    {"damping", &M::SetDamping, &M::GetDamping, Field::Damping},
    {"highAlarm", &M::SetHighAlarm, &M::GetHighAlarm, Field::HighAlarm},
    {"lowAlarm", &M::SetLowAlarm, &M::GetLowAlarm, Field::LowAlarm},
    {"highSaturation", &M::SetHighSaturation, &M::GetHighSaturation, Field::HighSaturation},
    {"lowSaturation", &M::SetLowSaturation, &M::GetLowSaturation, Field::LowSaturation},
};

const std::vector<IntField> kEditedCodes = {
    {"sensorType", &M::SetSensorType, &M::GetSensorType, Field::SensorType},
    {"sensorConnection", &M::SetSensorConnection, &M::GetSensorConnection, Field::SensorConnection},
    {"alarmType", &M::SetAlarmType, &M::GetAlarmType, Field::AlarmType},
    {"rangeUnits", &M::SetRangeUnits, &M::GetRangeUnits, Field::RangeUnits},
    {"writeProtect", &M::SetWriteProtect, &M::GetWriteProtect, Field::WriteProtect},
    {"filter", &M::SetFilter, &M::GetFilter, Field::Filter},
    {"cableEntry", &M::SetCableEntry, &M::GetCableEntry, Field::CableEntry},
    {"execution", &M::SetExecution, &M::GetExecution, Field::Execution},
};

// Fields filled by the device operations: stored without marking the document.
const std::vector<FloatField> kQuietFloats = {
    {"upperSensorLimit", &M::SetUpperSensorLimit, &M::GetUpperSensorLimit, Field::UpperSensorLimit},
    {"lowerSensorLimit", &M::SetLowerSensorLimit, &M::GetLowerSensorLimit, Field::LowerSensorLimit},
    {"deviceTemp", &M::SetDeviceTemp, &M::GetDeviceTemp, Field::DeviceTemp},
    {"measuredValue", &M::SetMeasuredValue, &M::GetMeasuredValue, Field::MeasuredValue},
    {"loopCurrent", &M::SetLoopCurrent, &M::GetLoopCurrent, Field::LoopCurrent},
    {"fixedCurrent", &M::SetFixedCurrent, &M::GetFixedCurrent, Field::FixedCurrent},
    {"loop4mA", &M::SetLoop4mAMeasured, &M::GetLoop4mAMeasured, Field::Loop4mAMeasured},
    {"loop20mA", &M::SetLoop20mAMeasured, &M::GetLoop20mAMeasured, Field::Loop20mAMeasured},
    {"upperCalLimit", &M::SetUpperCalLimit, &M::GetUpperCalLimit, Field::UpperCalLimit},
    {"lowerCalLimit", &M::SetLowerCalLimit, &M::GetLowerCalLimit, Field::LowerCalLimit},
    {"trimLower", &M::SetTrimLower, &M::GetTrimLower, Field::TrimLower},
    {"trimUpper", &M::SetTrimUpper, &M::GetTrimUpper, Field::TrimUpper},
};

const std::vector<IntField> kQuietCodes = {
    {"finalAssembly", &M::SetFinalAssembly, &M::GetFinalAssembly, Field::FinalAssembly},
    {"deviceTempUnits", &M::SetDeviceTempUnits, &M::GetDeviceTempUnits, Field::DeviceTempUnits},
    {"measuredUnits", &M::SetMeasuredUnits, &M::GetMeasuredUnits, Field::MeasuredUnits},
    {"sensorFault", &M::SetSensorFault, &M::GetSensorFault, Field::SensorFault},
    {"deviceFault", &M::SetDeviceFault, &M::GetDeviceFault, Field::DeviceFault},
    {"head", &M::SetHead, &M::GetHead, Field::Head},
    {"mountingLength", &M::SetMountingLength, &M::GetMountingLength, Field::MountingLength},
    {"thermometerSerial", &M::SetThermometerSerial, &M::GetThermometerSerial, Field::ThermometerSerial},
    {"calUnits", &M::SetCalUnits, &M::GetCalUnits, Field::CalUnits},
    {"calMode", &M::SetCalMode, &M::GetCalMode, Field::CalMode},
};

TEST(TransmitterModelSetters, EditedFloatMarksOnlyARealChange) {
    const float quietNaN = std::numeric_limits<float>::quiet_NaN();
    for (const FloatField& f : kEditedFloats) {
        SCOPED_TRACE(f.name);
        EditCounter c;
        ASSERT_EQ(Bits((c.model.*f.get)()), kNotANumberBits) << "starts not set";
        (c.model.*f.set)(NotANumber);
        (c.model.*f.set)(quietNaN); // another NaN is still "not set"
        EXPECT_EQ(c.edits, 0) << "NaN over NaN is no change";
        (c.model.*f.set)(3.5f);
        EXPECT_EQ(c.edits, 1) << "NaN to a number";
        (c.model.*f.set)(3.5f);
        EXPECT_EQ(c.edits, 1) << "the same number";
        (c.model.*f.set)(3.75f);
        EXPECT_EQ(c.edits, 2);
        (c.model.*f.set)(NotANumber);
        EXPECT_EQ(c.edits, 3) << "a number to NaN";
        EXPECT_TRUE(IsNotSet((c.model.*f.get)()));
    }
}

TEST(TransmitterModelSetters, EditedCodeMarksOnlyARealChange) {
    for (const IntField& f : kEditedCodes) {
        SCOPED_TRACE(f.name);
        EditCounter c;
        const std::int32_t held = (c.model.*f.get)();
        (c.model.*f.set)(held);
        EXPECT_EQ(c.edits, 0);
        (c.model.*f.set)(held + 1);
        EXPECT_EQ(c.edits, 1);
        EXPECT_EQ((c.model.*f.get)(), held + 1);
    }
}

TEST(TransmitterModelSetters, DeviceFilledFieldsNeverMark) {
    EditCounter c;
    for (const FloatField& f : kQuietFloats)
        (c.model.*f.set)(12.25f);
    for (const IntField& f : kQuietCodes)
        (c.model.*f.set)(77);
    c.model.SetLimitUnits(33);
    c.model.SetDate(1, 2, 3);
    c.model.SetArmature(2, 9);
    c.model.SetAssemblyDate(4, 5, 6);
    c.model.SetManufacturerId(153);
    c.model.SetDeviceType(252);
    c.model.SetDeviceId(0x123456);
    c.model.SetUniversalRev(5);
    c.model.SetDeviceRev(1);
    c.model.SetSoftwareRev(2);
    c.model.SetHardwareRev(0x0B);
    c.model.SetCalPoints(1);
    c.model.SetProgress(48);
    EXPECT_EQ(c.edits, 0);
    EXPECT_EQ(c.model.GetLimitUnits(), 33);
    EXPECT_EQ(c.model.GetProgress(), 48);
    EXPECT_EQ(c.model.GetDeviceId(), 0x123456);
}

TEST(TransmitterModelSetters, EverySetterClearsItsOwnFlagOnly) {
    std::vector<std::pair<Field, std::function<void(CTransmitterModel&)>>> setters;
    for (const FloatField& f : kEditedFloats)
        setters.push_back({f.flag, [f](M& m) { (m.*f.set)(1.0f); }});
    for (const FloatField& f : kQuietFloats)
        setters.push_back({f.flag, [f](M& m) { (m.*f.set)(1.0f); }});
    for (const IntField& f : kEditedCodes)
        setters.push_back({f.flag, [f](M& m) { (m.*f.set)(1); }});
    for (const IntField& f : kQuietCodes)
        setters.push_back({f.flag, [f](M& m) { (m.*f.set)(1); }});
    setters.push_back({Field::Tag, [](M& m) { m.SetTag(u"T1"); }});
    setters.push_back({Field::UniversalRev, [](M& m) { m.SetUniversalRev(5); }});
    setters.push_back({Field::DeviceRev, [](M& m) { m.SetDeviceRev(5); }});
    setters.push_back({Field::SoftwareRev, [](M& m) { m.SetSoftwareRev(5); }});
    setters.push_back({Field::HardwareRev, [](M& m) { m.SetHardwareRev(5); }});
    ASSERT_EQ(setters.size() + 5, kFieldCount)
        << "the armature and assembly date setters cover the other five";

    for (const auto& [flag, set] : setters) {
        SCOPED_TRACE(static_cast<int>(flag));
        CTransmitterModel m;
        for (std::size_t i = 0; i < kFieldCount; ++i)
            m.SetFieldError(static_cast<Field>(i), true);
        set(m);
        for (std::size_t i = 0; i < kFieldCount; ++i)
            EXPECT_EQ(m.GetFieldError(static_cast<Field>(i)), static_cast<Field>(i) != flag) << "flag " << i;
    }
}

TEST(TransmitterModelSetters, GroupedSettersClearTheirGroup) {
    CTransmitterModel m;
    for (std::size_t i = 0; i < kFieldCount; ++i)
        m.SetFieldError(static_cast<Field>(i), true);
    m.SetArmature(3, 7);
    m.SetAssemblyDate(12, 6, 99);
    m.SetDate(1, 1, 1); // the date of command 13 has no flag
    for (Field f : {Field::ArmatureLetter, Field::ArmatureNumber, Field::AssemblyDay, Field::AssemblyMonth,
                    Field::AssemblyYear})
        EXPECT_FALSE(m.GetFieldError(f));
    EXPECT_TRUE(m.GetFieldError(Field::Head));
    EXPECT_EQ(m.GetArmatureLetter(), 3);
    EXPECT_EQ(m.GetArmatureNumber(), 7);
    EXPECT_EQ(m.GetAssemblyYear(), 99);
}

TEST(TransmitterModelTag, GetterShowsOnlyPrintableHartCharacters) {
    CTransmitterModel m;
    m.SetTag(u"A\x1F`a\u0416_ Z");
    EXPECT_EQ(m.GetTag(), u"A    _ Z") << "below 32 and from 96 up become spaces";
    m.SetTag(u"ABC");
    EXPECT_EQ(m.GetTag(), u"ABC");
    const TagUnits& units = m.GetTagUnits();
    EXPECT_EQ(units[3], 0);
    EXPECT_EQ(units[8], 0);
}

TEST(TransmitterModelTag, SetterKeepsEightCharactersUpToTheFirstZero) {
    CTransmitterModel m;
    m.SetTag(u"TOOLONGTAG");
    EXPECT_EQ(m.GetTag(), u"TOOLONGT");
    EXPECT_EQ(m.GetTagUnits()[8], 0);
    m.SetTag(std::u16string_view(u"AB\0CD", 5));
    EXPECT_EQ(m.GetTag(), u"AB");
    EXPECT_EQ(m.GetTagUnits()[3], 0) << "nothing after the terminator";
    m.SetTag(u"");
    EXPECT_EQ(m.GetTagUnits()[0], 0) << "an empty tag is what WriteTag skips";
}

TEST(TransmitterModelTag, MarksWhenAnyOfTheEightCharactersDiffers) {
    EditCounter c;
    c.model.SetTag(u"");
    EXPECT_EQ(c.edits, 0);
    c.model.SetTag(u"ABCDEFGH");
    EXPECT_EQ(c.edits, 1);
    c.model.SetTag(u"ABCDEFGH");
    c.model.SetTag(u"ABCDEFGHIJ"); // the same after cutting to 8
    EXPECT_EQ(c.edits, 1);
    c.model.SetTag(u"ABCDEFGX");
    EXPECT_EQ(c.edits, 2) << "a change in the last character";
    c.model.SetTag(u"ABCDEFG");
    EXPECT_EQ(c.edits, 3) << "a shorter tag";
}

TEST(TransmitterModelState, ClearContentsResetsConfigurationAndKeepsCalibration) {
    CTransmitterModel m;
    // Fill everything that clearing is meant to keep, with its flags.
    m.SetAssemblyDate(10, 11, 12);
    m.SetFixedCurrent(4.0f);
    m.SetTrimLower(-10.0f);
    m.SetCalUnits(35);
    m.SetCalMode(1);
    m.SetCalPoints(1);
    m.SetDate(3, 4, 5);
    m.SetManufacturerId(153);
    m.SetDeviceType(252);
    m.SetDeviceId(77);
    m.SetProgress(64);
    // And fill what it resets.
    m.SetTag(u"TT");
    m.SetSensorType(1);
    m.SetSensorConnection(3);
    m.SetRangeUnits(33);
    m.SetLimitUnits(33);
    m.SetLowerRange(0.0f);
    m.SetUpperSensorLimit(850.0f);
    m.SetUniversalRev(5);
    m.SetHardwareRev(0x08);
    m.SetArmature(2, 2);
    m.SetHead(1);
    m.SetCableEntry(1);
    m.SetExecution(2);
    m.SetThermometerSerial(99);
    for (std::size_t i = 0; i < kFieldCount; ++i)
        m.SetFieldError(static_cast<Field>(i), true);

    m.ClearContents();

    EXPECT_TRUE(m.GetTag().empty());
    EXPECT_EQ(m.GetSensorType(), kSensorNone);
    EXPECT_EQ(m.GetSensorConnection(), kSensorNone);
    EXPECT_EQ(m.GetRangeUnits(), kUnitsNotSet);
    EXPECT_EQ(m.GetLimitUnits(), kUnitsNotSet);
    EXPECT_EQ(Bits(m.GetLowerRange()), kNotANumberBits);
    EXPECT_EQ(Bits(m.GetUpperSensorLimit()), kNotANumberBits);
    EXPECT_EQ(m.GetUniversalRev(), 0);
    EXPECT_EQ(m.GetHardwareRevByte(), 0);
    // Construction values no thermometer list contains.
    EXPECT_EQ(m.GetArmatureLetter(), 0);
    EXPECT_EQ(m.GetHead(), 4);
    EXPECT_EQ(m.GetCableEntry(), 256);
    EXPECT_EQ(m.GetExecution(), 33);
    EXPECT_EQ(m.GetThermometerSerial(), 0);
    // Kept.
    EXPECT_EQ(m.GetAssemblyDay(), 10);
    EXPECT_EQ(m.GetFixedCurrent(), 4.0f);
    EXPECT_EQ(m.GetTrimLower(), -10.0f);
    EXPECT_EQ(m.GetCalUnits(), 35);
    EXPECT_EQ(m.GetCalMode(), 1);
    EXPECT_EQ(m.GetCalPoints(), 1);
    EXPECT_EQ(m.GetDateDay(), 3);
    EXPECT_EQ(m.GetDeviceId(), 77);
    EXPECT_EQ(m.GetManufacturerId(), 153);
    EXPECT_EQ(m.GetProgress(), 64);
    // Flags: configuration, identity and thermometer cleared; assembly date and calibration kept.
    for (Field f : {Field::Tag, Field::SensorType, Field::LowerRange, Field::LoopCurrent, Field::DeviceFault,
                    Field::UniversalRev, Field::HardwareRev, Field::ArmatureLetter, Field::Head,
                    Field::CableEntry, Field::ThermometerSerial})
        EXPECT_FALSE(m.GetFieldError(f)) << static_cast<int>(f);
    for (Field f : {Field::AssemblyDay, Field::AssemblyMonth, Field::AssemblyYear, Field::FixedCurrent,
                    Field::Loop4mAMeasured, Field::Loop20mAMeasured, Field::CalUnits, Field::CalMode,
                    Field::UpperCalLimit, Field::LowerCalLimit, Field::TrimLower, Field::TrimUpper})
        EXPECT_TRUE(m.GetFieldError(f)) << static_cast<int>(f);
}

TEST(TransmitterModelState, ConstructionDiffersFromClearedOnlyInTheThermometerFields) {
    CTransmitterModel constructed;
    CTransmitterModel cleared;
    cleared.ClearContents();
    EXPECT_EQ(constructed.DifferentFields(cleared),
              (std::vector<std::string>{"m_armatureLetter", "m_armatureNumber", "m_head", "m_cableEntry",
                                        "m_execution"}));
    EXPECT_EQ(constructed.GetCalUnits(), kUnitsCelsius);
    EXPECT_EQ(constructed.GetCalMode(), kCodeNotSet);
    EXPECT_EQ(constructed.GetAssemblyDay(), 1);
    EXPECT_EQ(constructed.GetAssemblyMonth(), 1);
    EXPECT_EQ(constructed.GetAssemblyYear(), 0);
    EXPECT_EQ(Bits(constructed.GetTrimUpper()), kNotANumberBits);
    EXPECT_FALSE(constructed.GetFieldErrors().Any());
}

TEST(TransmitterModelState, ComparisonSeesFloatBitPatterns) {
    CTransmitterModel a;
    CTransmitterModel b;
    EXPECT_TRUE(a.DifferentFields(b).empty());
    b.SetMeasuredValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(a.DifferentFields(b), std::vector<std::string>{"m_measuredValue"})
        << "a file must keep the exact not-set pattern";
    b = a;
    b.SetTag(u"X");
    b.SetProgress(1);
    EXPECT_EQ(a.DifferentFields(b), (std::vector<std::string>{"m_tag", "m_progress"}));
}

TEST(TransmitterModelState, CopyDoesNotReportEditsToTheOriginalsHandler) {
    EditCounter c;
    CTransmitterModel snapshot = c.model;
    snapshot.SetDamping(1.0f);
    EXPECT_EQ(c.edits, 0);
    c.model.SetDamping(1.0f);
    EXPECT_EQ(c.edits, 1);
}

TEST(TransmitterModelState, HardwareRevisionGetterDropsTheSignallingCode) {
    CTransmitterModel m;
    m.SetHardwareRev(0x0D); // revision 1, signalling code 5
    EXPECT_EQ(m.GetHardwareRev(), 1);
    EXPECT_EQ(m.GetHardwareRevByte(), 0x0D);
    m.SetHardwareRev(0xFF);
    EXPECT_EQ(m.GetHardwareRev(), 31);
}

TEST(SensorIndexTable, ConvertsBothWaysAndRejectsUnknowns) {
    const std::int32_t codes[] = {1,   3,   4,   7,   14,  15,  10,  11,  12,  13, 129,
                                  130, 131, 132, 133, 134, 135, 136, 143, 128, 0};
    for (int index = 1; index <= kSensorKindCount; ++index) {
        EXPECT_EQ(SensorCodeFromIndex(index), codes[index - 1]) << index;
        EXPECT_EQ(SensorIndexFromCode(codes[index - 1]), index) << index;
    }
    EXPECT_EQ(SensorIndexFromCode(2), 251) << "a code outside the table";
    EXPECT_EQ(SensorIndexFromCode(kSensorNone), 251);
    EXPECT_EQ(SensorIndexFromCode(-1), 251);
    EXPECT_EQ(SensorCodeFromIndex(0), kSensorNone);
    EXPECT_EQ(SensorCodeFromIndex(22), kSensorNone);
    EXPECT_EQ(SensorCodeFromIndex(-5), kSensorNone);
}

} // namespace
