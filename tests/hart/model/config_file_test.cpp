#include "hart/config_file.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::uint32_t Bits(float v) {
    return std::bit_cast<std::uint32_t>(v);
}

std::uint32_t U32At(const ConfigFileImage& image, std::size_t offset) {
    return image[offset] | image[offset + 1] << 8 | image[offset + 2] << 16 |
           static_cast<std::uint32_t>(image[offset + 3]) << 24;
}

void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::vector<std::uint8_t> ToBytes(const ConfigFileImage& image) {
    return {image.begin(), image.end()};
}

CTransmitterModel ClearedModel() {
    CTransmitterModel m;
    m.ClearContents();
    return m;
}

// A model with a distinct value in every field the file holds.
CTransmitterModel FilledModel() {
    CTransmitterModel m;
    m.SetTag(u"TT-01 /Z");
    m.SetSensorType(132);
    m.SetSensorConnection(2);
    m.SetRangeUnits(33);
    m.SetLowerRange(-12.5f);
    m.SetUpperRange(1200.25f);
    m.SetDamping(0.5f);
    m.SetAlarmType(1);
    m.SetLowAlarm(3.5f);
    m.SetHighAlarm(21.0f);
    m.SetLowSaturation(3.7f);
    m.SetHighSaturation(20.9f);
    m.SetFilter(1);
    m.SetWriteProtect(0);
    m.SetArmature(5, 200);
    m.SetHead(7);
    m.SetCableEntry(250);
    m.SetExecution(3);
    m.SetMountingLength(0xFFFF);
    m.SetAssemblyDate(31, 12, 125);
    m.SetThermometerSerial(0xABCDEF);
    return m;
}

TEST(ConfigFileImage, StartsWithMagicAndVersion) {
    const ConfigFileImage image = SerializeConfiguration(ClearedModel());
    const std::uint8_t head[] = {0x51, 0x92, 0x68, 0x54, 0x42, 0x01, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(image.data(), head, sizeof head), 0);
    EXPECT_EQ(image.size(), 103u);
}

TEST(ConfigFileImage, FieldsSitAtTheirOffsets) {
    const ConfigFileImage image = SerializeConfiguration(FilledModel());
    EXPECT_EQ(image[8], 'T');
    EXPECT_EQ(image[22], 'Z');
    EXPECT_EQ(U32At(image, 26), 132u);
    EXPECT_EQ(U32At(image, 30), 2u);
    EXPECT_EQ(U32At(image, 34), 33u);
    EXPECT_EQ(U32At(image, 38), Bits(-12.5f));
    EXPECT_EQ(U32At(image, 42), Bits(1200.25f));
    EXPECT_EQ(U32At(image, 46), Bits(0.5f));
    EXPECT_EQ(U32At(image, 50), 1u);
    EXPECT_EQ(U32At(image, 54), Bits(3.5f));
    EXPECT_EQ(U32At(image, 58), Bits(21.0f));
    EXPECT_EQ(U32At(image, 62), Bits(3.7f));
    EXPECT_EQ(U32At(image, 66), Bits(20.9f));
    EXPECT_EQ(U32At(image, 70), 1u);
    EXPECT_EQ(U32At(image, 74), 0u);
    EXPECT_EQ(image[78], 5);
    EXPECT_EQ(image[79], 200);
    EXPECT_EQ(U32At(image, 80), 7u);
    EXPECT_EQ(U32At(image, 84), 250u);
    EXPECT_EQ(U32At(image, 88), 3u);
    EXPECT_EQ(U32At(image, 92), 0xFFFFu);
    EXPECT_EQ(image[96], 31);
    EXPECT_EQ(image[97], 12);
    EXPECT_EQ(image[98], 125);
    EXPECT_EQ(U32At(image, 99), 0xABCDEFu);
}

TEST(ConfigFileImage, TagIsNineUtf16UnitsZeroFilled) {
    CTransmitterModel m = ClearedModel();
    m.SetTag(u"ABC");
    const ConfigFileImage image = SerializeConfiguration(m);
    const std::uint8_t expected[18] = {'A', 0, 'B', 0, 'C', 0};
    EXPECT_EQ(std::memcmp(image.data() + 8, expected, sizeof expected), 0);
}

TEST(ConfigFileImage, NotSetFloatsKeepTheirBitPattern) {
    const ConfigFileImage image = SerializeConfiguration(ClearedModel());
    for (std::size_t offset : {38, 42, 46, 54, 58, 62, 66})
        EXPECT_EQ(U32At(image, offset), 0x7FA00000u);
    EXPECT_EQ(U32At(image, 26), 251u);
    EXPECT_EQ(U32At(image, 34), 38u);
    EXPECT_EQ(U32At(image, 84), 256u);
}

TEST(ConfigFileLoad, ClearedModelComesBackNotSet) {
    const CTransmitterModel cleared = ClearedModel();
    CTransmitterModel opened = ClearedModel(); // the framework clears before loading
    ASSERT_TRUE(LoadConfiguration(opened, SerializeConfiguration(cleared)).ok());
    EXPECT_TRUE(cleared.DifferentFields(opened).empty());
    EXPECT_EQ(opened.GetSensorType(), kSensorNone);
    EXPECT_EQ(Bits(opened.GetDamping()), kNotANumberBits);
    EXPECT_TRUE(opened.GetTag().empty());
}

TEST(ConfigFileLoad, EveryStoredFieldRoundTrips) {
    const CTransmitterModel source = FilledModel();
    CTransmitterModel opened = ClearedModel();
    ASSERT_TRUE(LoadConfiguration(opened, SerializeConfiguration(source)).ok());

    // What the file does not hold stays as the cleared document had it; the limit units follow
    // the range units.
    CTransmitterModel expected = ClearedModel();
    expected.ApplyStoredConfiguration(source.GetStoredConfiguration());
    EXPECT_TRUE(expected.DifferentFields(opened).empty());
    EXPECT_EQ(opened.GetTag(), u"TT-01 /Z");
    EXPECT_EQ(opened.GetLimitUnits(), 33);
    EXPECT_EQ(opened.GetRangeUnits(), 33);
    EXPECT_EQ(opened.GetHighSaturation(), 20.9f);
    EXPECT_EQ(opened.GetArmatureNumber(), 200);
    EXPECT_EQ(opened.GetAssemblyYear(), 125);
    EXPECT_EQ(opened.GetThermometerSerial(), 0xABCDEF);
    EXPECT_EQ(opened.GetMountingLength(), 0xFFFF);
    // The stored image is the same once more.
    EXPECT_EQ(SerializeConfiguration(opened), SerializeConfiguration(source));
}

TEST(ConfigFileLoad, ClearsConfigurationFlagsAndKeepsCalibrationFlags) {
    CTransmitterModel m = ClearedModel();
    for (std::size_t i = 0; i < kFieldCount; ++i)
        m.SetFieldError(static_cast<Field>(i), true);
    ASSERT_TRUE(LoadConfiguration(m, SerializeConfiguration(FilledModel())).ok());
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const Field f = static_cast<Field>(i);
        EXPECT_EQ(m.GetFieldError(f), !IsResetWithContents(f)) << "flag " << i;
    }
    EXPECT_TRUE(m.GetFieldError(Field::AssemblyDay));
    EXPECT_TRUE(m.GetFieldError(Field::TrimUpper));
    EXPECT_FALSE(m.GetFieldError(Field::ThermometerSerial));
}

TEST(ConfigFileLoad, OtherVersionsAreRefusedWithMessage910) {
    for (std::int32_t version : {321, 323, 0, -1}) {
        SCOPED_TRACE(version);
        std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
        PutU32(bytes, 4, static_cast<std::uint32_t>(version));
        CTransmitterModel m = ClearedModel();
        const ConfigLoadResult r = LoadConfiguration(m, bytes);
        EXPECT_EQ(r.status, ConfigLoadStatus::IncompatibleVersion);
        ASSERT_EQ(r.messages.size(), 2u);
        EXPECT_EQ(r.messages[0].id, 910);
        EXPECT_EQ(r.messages[0].text, "Версия файла несовместима с версией программы.");
        EXPECT_EQ(r.messages[1].text, "Failed to open document.");
        EXPECT_TRUE(m.DifferentFields(ClearedModel()).empty()) << "the document stays cleared";
    }
}

TEST(ConfigFileLoad, VersionIsJudgedBeforeTheFieldsAreRead) {
    std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
    PutU32(bytes, 4, 323);
    bytes.resize(8);
    EXPECT_EQ(ParseConfiguration(bytes).status, ConfigLoadStatus::IncompatibleVersion);
}

TEST(ConfigFileLoad, WrongMagicIsAnUnexpectedFormat) {
    std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
    bytes[3] = 0x55;
    const ConfigLoadResult r = ParseConfiguration(bytes);
    EXPECT_EQ(r.status, ConfigLoadStatus::UnexpectedFormat);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].id, 20100); // the framework text's own id in the string table
    EXPECT_EQ(r.messages[0].text, "Unexpected file format.");
}

TEST(ConfigFileLoad, EveryTruncationFailsAndLeavesTheModelAlone) {
    const ConfigFileImage image = SerializeConfiguration(FilledModel());
    for (std::size_t length = 0; length < kConfigFileSize; ++length) {
        CTransmitterModel m = ClearedModel();
        const ConfigLoadResult r = LoadConfiguration(m, std::span(image.data(), length));
        EXPECT_EQ(r.status, ConfigLoadStatus::UnexpectedFormat) << "length " << length;
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0].text, "Unexpected file format.");
        EXPECT_TRUE(m.DifferentFields(ClearedModel()).empty()) << "length " << length;
    }
}

TEST(ConfigFileLoad, BytesAfterTheImageAreIgnored) {
    std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
    bytes.resize(bytes.size() + 4096, 0xEE);
    CTransmitterModel m = ClearedModel();
    ASSERT_TRUE(LoadConfiguration(m, bytes).ok());
    EXPECT_EQ(SerializeConfiguration(m), SerializeConfiguration(FilledModel()));
}

TEST(ConfigFileLoad, CodesThatDoNotFitAByteAreRefused) {
    // Offsets of the codes the device operations send as one byte.
    for (std::size_t offset : {26, 30, 34, 50, 70, 74}) {
        for (std::uint32_t value : {256u, 0x101u, 0xFFFFFFFFu, 0x80000000u}) {
            std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
            PutU32(bytes, offset, value);
            EXPECT_EQ(ParseConfiguration(bytes).status, ConfigLoadStatus::UnexpectedFormat)
                << "offset " << offset << " value " << value;
        }
        std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
        PutU32(bytes, offset, 255);
        EXPECT_TRUE(ParseConfiguration(bytes).ok()) << "any byte value is a code the device may report";
    }
}

TEST(ConfigFileLoad, UnterminatedTagIsCutToEightCharacters) {
    std::vector<std::uint8_t> bytes = ToBytes(SerializeConfiguration(FilledModel()));
    bytes[24] = 'Q'; // the terminator unit
    CTransmitterModel m = ClearedModel();
    ASSERT_TRUE(LoadConfiguration(m, bytes).ok());
    EXPECT_EQ(m.GetTagUnits()[8], 0);
    EXPECT_EQ(m.GetTag(), u"TT-01 /Z");
}

TEST(ConfigFileLoad, GarbageNeverCrashes) {
    std::mt19937 random(4810);
    const ConfigFileImage valid = SerializeConfiguration(FilledModel());
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes(random() % 160);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        if (round % 2 == 0) // keep a valid header half of the time so the field reader is reached
            std::copy_n(valid.begin(), std::min<std::size_t>(8, bytes.size()), bytes.begin());
        CTransmitterModel m = ClearedModel();
        const ConfigLoadResult r = LoadConfiguration(m, bytes);
        if (r.ok()) {
            ++accepted;
            EXPECT_EQ(m.GetTagUnits()[8], 0);
            EXPECT_GE(m.GetSensorType(), 0);
            EXPECT_LE(m.GetSensorType(), 255);
        } else {
            EXPECT_FALSE(r.messages.empty());
            EXPECT_TRUE(m.DifferentFields(ClearedModel()).empty());
        }
    }
    EXPECT_EQ(accepted, 0) << "random codes almost never all fit a byte";

    // Valid images with a few bytes changed: many still load, and whatever loads is bounded.
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes(valid.begin(), valid.end());
        for (int flips = 1 + random() % 3; flips > 0; --flips)
            bytes[8 + random() % (kConfigFileSize - 8)] = static_cast<std::uint8_t>(random());
        CTransmitterModel m = ClearedModel();
        if (!LoadConfiguration(m, bytes).ok()) continue;
        ++accepted;
        EXPECT_EQ(m.GetTagUnits()[8], 0);
        for (std::int32_t code : {m.GetSensorType(), m.GetSensorConnection(), m.GetRangeUnits(),
                                  m.GetAlarmType(), m.GetFilter(), m.GetWriteProtect()}) {
            EXPECT_GE(code, 0);
            EXPECT_LE(code, 255);
        }
    }
    EXPECT_GT(accepted, 10000);
}

} // namespace
