// Field encodings: packed ASCII, every field type through encode and decode, pointer kinds.
#include "hart/fields.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <vector>

namespace zelhart::hart {
namespace {

std::vector<uint8_t> Encode(FieldType type, const FieldValue& v) {
    std::vector<uint8_t> out(FieldSize(type), 0);
    EncodeField(type, v, out);
    return out;
}

TEST(PackedAscii, TagIsUpperCasedAndPaddedWithSpaces) {
    std::array<uint8_t, 6> out{};
    PackAscii("abc", 8, out);
    EXPECT_EQ(out, (std::array<uint8_t, 6>{0x04, 0x20, 0xE0, 0x82, 0x08, 0x20}));
    EXPECT_EQ(UnpackAscii(out, 8), "ABC     ");
}

TEST(PackedAscii, EveryCharacterOfTheSetSurvivesARoundTrip) {
    // The 64 characters of the HART set, in four 16-character texts.
    std::string all;
    for (int c = 32; c < 96; ++c)
        all.push_back(char(c));
    for (size_t at = 0; at < all.size(); at += 16) {
        std::string text = all.substr(at, 16);
        std::array<uint8_t, 12> packed{};
        PackAscii(text, 16, packed);
        EXPECT_EQ(UnpackAscii(packed, 16), text);
    }
}

TEST(PackedAscii, LongerTextIsCutAndNeverSpillsIntoNeighbours) {
    std::array<uint8_t, 8> out{};
    out.fill(0xAA);
    PackAscii("ABCDEFGHIJKLMNOP", 8, std::span(out).first(6));
    EXPECT_EQ(UnpackAscii(out, 8), "ABCDEFGH");
    EXPECT_EQ(out[6], 0xAA);
    EXPECT_EQ(out[7], 0xAA);
}

TEST(PackedAscii, CharactersOutsideTheSetKeepOnlySixBits) {
    std::array<uint8_t, 6> out{};
    PackAscii("\x7f\xd0~", 8, out); // DEL, a UTF-8 lead byte, tilde: none is in the set
    std::string text = UnpackAscii(out, 8);
    for (char c : text)
        EXPECT_TRUE(c >= 32 && c < 96) << int(c);
}

TEST(PackedAscii, DecodingKeepsTrailingSpaces) {
    auto bytes = Encode(FieldType::Packed16, FieldValue("PT100"));
    std::string text;
    DecodeField(FieldType::Packed16, bytes, FieldOut(&text));
    EXPECT_EQ(text, "PT100           ");
    EXPECT_EQ(text.size(), 16u);
}

TEST(FieldCodec, ByteAcceptsByteAndThirtyTwoBitVariables) {
    uint8_t b = 0xC3;
    int32_t code = 0x1F4; // only the low byte goes on the wire
    EXPECT_EQ(Encode(FieldType::Byte, &b), std::vector<uint8_t>{0xC3});
    EXPECT_EQ(Encode(FieldType::Byte, &code), std::vector<uint8_t>{0xF4});
    std::vector<uint8_t> wire{0xFB};
    uint8_t outByte = 0;
    int32_t outInt = -1;
    DecodeField(FieldType::Byte, wire, &outByte);
    DecodeField(FieldType::Byte, wire, &outInt);
    EXPECT_EQ(outByte, 0xFB);
    EXPECT_EQ(outInt, 251); // zero-extended
}

TEST(FieldCodec, Int16IsSignExtended) {
    int32_t v = -2;
    auto wire = Encode(FieldType::Int16, &v);
    EXPECT_EQ(wire, (std::vector<uint8_t>{0xFF, 0xFE}));
    int32_t back = 0;
    DecodeField(FieldType::Int16, wire, &back);
    EXPECT_EQ(back, -2);
}

TEST(FieldCodec, Int32IsMostSignificantByteFirst) {
    uint32_t v = 0x01020304;
    auto wire = Encode(FieldType::Int32, &v);
    EXPECT_EQ(wire, (std::vector<uint8_t>{1, 2, 3, 4}));
    int32_t back = 0;
    DecodeField(FieldType::Int32, wire, &back);
    EXPECT_EQ(back, 0x01020304);
}

TEST(FieldCodec, UInt24DropsTheTopByte) {
    uint32_t v = 0xAB123456;
    auto wire = Encode(FieldType::UInt24, &v);
    EXPECT_EQ(wire, (std::vector<uint8_t>{0x12, 0x34, 0x56}));
    uint32_t back = 0xFFFFFFFF;
    DecodeField(FieldType::UInt24, std::vector<uint8_t>{0xFF, 0xFF, 0xFF}, &back);
    EXPECT_EQ(back, 0x00FFFFFFu);
}

TEST(FieldCodec, FloatIsBitExactIncludingTheNotSetPattern) {
    const float values[] = {4.0f, -273.15f, 0.0f, std::bit_cast<float>(kUnsetFloatBits)};
    for (float f : values) {
        auto wire = Encode(FieldType::Float, &f);
        float back = 1.0f;
        DecodeField(FieldType::Float, wire, &back);
        EXPECT_EQ(std::bit_cast<uint32_t>(back), std::bit_cast<uint32_t>(f));
    }
    float twenty = 20.0f;
    EXPECT_EQ(Encode(FieldType::Float, &twenty), (std::vector<uint8_t>{0x41, 0xA0, 0x00, 0x00}));
}

TEST(FieldCodec, PackedTextsOfAllThreeLengths) {
    const std::pair<FieldType, std::string> cases[] = {
        {FieldType::Packed8, "TT-101  "},
        {FieldType::Packed16, "KORVEL 4810 TEST"},
        {FieldType::Packed32, "THERMOMETER IN THE BOILER ROOM  "},
    };
    for (const auto& [type, text] : cases) {
        auto wire = Encode(type, text);
        ASSERT_EQ(wire.size(), FieldSize(type));
        std::string back;
        DecodeField(type, wire, &back);
        EXPECT_EQ(back, text);
    }
}

TEST(FieldCodec, TextIntoACharArrayIsCutToTheArray) {
    auto wire = Encode(FieldType::Packed8, FieldValue("ABCDEFGH"));
    char whole[9];
    char small[5];
    DecodeField(FieldType::Packed8, wire, whole);
    DecodeField(FieldType::Packed8, wire, small);
    EXPECT_STREQ(whole, "ABCDEFGH");
    EXPECT_STREQ(small, "ABCD");
}

TEST(FieldCodec, NullValuesWriteNothingAndNullOutputsReceiveNothing) {
    std::vector<uint8_t> out(4, 0x55);
    EncodeField(FieldType::Float, FieldValue(static_cast<const float*>(nullptr)), out);
    EXPECT_EQ(out, std::vector<uint8_t>(4, 0x55));
    EXPECT_FALSE(FieldValue(static_cast<const char*>(nullptr)).IsSupplied());
    EXPECT_FALSE(FieldOut(static_cast<float*>(nullptr)).IsWanted());
    DecodeField(FieldType::Float, out, FieldOut(nullptr)); // must not crash
}

TEST(FieldCodec, MissingFieldsDecodeAsNotSet) {
    uint8_t b = 7;
    uint32_t u = 7;
    float f = 7;
    std::string s = "x";
    char buffer[9] = "ABCDEFGH";
    DecodeMissingField(FieldType::Byte, &b);
    DecodeMissingField(FieldType::UInt24, &u);
    DecodeMissingField(FieldType::Float, &f);
    DecodeMissingField(FieldType::Packed8, &s);
    DecodeMissingField(FieldType::Packed8, buffer);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(u, 0u);
    EXPECT_EQ(std::bit_cast<uint32_t>(f), kUnsetFloatBits);
    EXPECT_EQ(s, "");
    EXPECT_STREQ(buffer, "");
}

TEST(FieldCodec, PointerOfTheWrongKindIsRefused) {
    float f = 1;
    uint8_t b = 1;
    std::string text;
    EXPECT_THROW(Encode(FieldType::Byte, &f), FieldMismatch);
    EXPECT_THROW(Encode(FieldType::Float, &b), FieldMismatch);
    EXPECT_THROW(Encode(FieldType::UInt24, &b), FieldMismatch);
    EXPECT_THROW(Encode(FieldType::Byte, FieldValue("A")), FieldMismatch);
    std::vector<uint8_t> wire(6, 0);
    EXPECT_THROW(DecodeField(FieldType::Float, wire, &b), FieldMismatch);
    EXPECT_THROW(DecodeField(FieldType::Byte, wire, &text), FieldMismatch);
}

TEST(FieldCodec, TextValueReadsNoMoreThanTheWorkBuffer) {
    // A text without a terminator: only kMaxTextCharacters are looked at (the sanitizer build would
    // catch a read past the block).
    std::vector<char> unterminated(kMaxTextCharacters, 'Q');
    FieldValue v(static_cast<const char*>(unterminated.data()));
    auto wire = Encode(FieldType::Packed32, v);
    std::string back;
    DecodeField(FieldType::Packed32, wire, &back);
    EXPECT_EQ(back, std::string(32, 'Q'));
}

} // namespace
} // namespace zelhart::hart
