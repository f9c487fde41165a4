// Field encodings of HART request and response data, and the typed value pointers that carry them.
//
// A command's data is an ordered list of fields (`FieldType`). Callers hand the engine one `FieldValue`
// per request field and one `FieldOut` per response field, in layout order. Both wrap a pointer to the
// caller's variable, or nothing: a null pointer means "not supplied" (the field's bytes stay zero on
// the wire) or "not wanted" (the field is decoded and skipped). Which pointer fits which field:
//
//   Byte                    uint8_t, int32_t, uint32_t (the low byte is sent; decoded zero-extended)
//   Int16, Int32, UInt24    int32_t, uint32_t (Int16 decodes sign-extended, UInt24 with the top byte 0)
//   Float                   float
//   Packed8/16/32           text: a zero-terminated string or a string_view in; a std::string or a
//                           char array out (the array receives at most its size - 1 characters and a 0)
//
// All multi-byte numbers are most significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace zelhart::hart {

enum class FieldType : uint8_t {
    Byte = 0,
    Int16 = 1,
    Int32 = 2,
    Float = 3,
    Packed8 = 4,  // packed ASCII, 8 characters in 6 bytes
    Packed16 = 5, // 16 characters in 12 bytes
    Packed32 = 6, // 32 characters in 24 bytes
    UInt24 = 7,
};

// Bytes on the wire.
constexpr size_t FieldSize(FieldType type) {
    switch (type) {
    case FieldType::Byte:
        return 1;
    case FieldType::Int16:
        return 2;
    case FieldType::Int32:
    case FieldType::Float:
        return 4;
    case FieldType::Packed8:
        return 6;
    case FieldType::Packed16:
        return 12;
    case FieldType::Packed32:
        return 24;
    case FieldType::UInt24:
        return 3;
    }
    return 0;
}

// Characters of a packed text field; 0 for the other types.
constexpr size_t PackedCharacters(FieldType type) {
    switch (type) {
    case FieldType::Packed8:
        return 8;
    case FieldType::Packed16:
        return 16;
    case FieldType::Packed32:
        return 32;
    default:
        return 0;
    }
}

// The float pattern of a value that is not set; what a float field absent from an answer decodes to.
inline constexpr uint32_t kUnsetFloatBits = 0x7FA00000;

// Longest text that a packed field is formatted from (the rest of a longer text is never read).
inline constexpr size_t kMaxTextCharacters = 39;

// A value for one request field.
class FieldValue {
  public:
    constexpr FieldValue() = default;
    constexpr FieldValue(std::nullptr_t) {}
    constexpr FieldValue(const uint8_t* v) { Set(v); }
    constexpr FieldValue(const int32_t* v) { Set(v); }
    constexpr FieldValue(const uint32_t* v) { Set(v); }
    constexpr FieldValue(const float* v) { Set(v); }
    FieldValue(const char* text); // zero-terminated; at most kMaxTextCharacters are read
    constexpr FieldValue(std::string_view text) : value_(text) {}
    FieldValue(const std::string& text) : value_(std::string_view(text)) {}

    bool IsSupplied() const { return !std::holds_alternative<std::monostate>(value_); }
    bool Fits(FieldType type) const;

  private:
    template <typename T> constexpr void Set(const T* v) {
        if (v) value_ = v;
    }
    friend void EncodeField(FieldType, const FieldValue&, std::span<uint8_t>);

    std::variant<std::monostate, const uint8_t*, const int32_t*, const uint32_t*, const float*,
                 std::string_view>
        value_;
};

// Where one response field goes.
class FieldOut {
  public:
    constexpr FieldOut() = default;
    constexpr FieldOut(std::nullptr_t) {}
    constexpr FieldOut(uint8_t* v) { Set(v); }
    constexpr FieldOut(int32_t* v) { Set(v); }
    constexpr FieldOut(uint32_t* v) { Set(v); }
    constexpr FieldOut(float* v) { Set(v); }
    constexpr FieldOut(std::string* text) { Set(text); }
    template <size_t N> constexpr FieldOut(char (&buffer)[N]) : value_(std::span<char>(buffer, N)) {}
    constexpr FieldOut(std::span<char> buffer) {
        if (!buffer.empty()) value_ = buffer;
    }

    bool IsWanted() const { return !std::holds_alternative<std::monostate>(value_); }
    bool Fits(FieldType type) const;

  private:
    template <typename T> constexpr void Set(T* v) {
        if (v) value_ = v;
    }
    friend void DecodeField(FieldType, std::span<const uint8_t>, const FieldOut&);
    friend void DecodeMissingField(FieldType, const FieldOut&);

    std::variant<std::monostate, uint8_t*, int32_t*, uint32_t*, float*, std::string*, std::span<char>> value_;
};

// A value pointer of the wrong kind for its field: a fault of the calling code.
class FieldMismatch : public std::invalid_argument {
  public:
    FieldMismatch(size_t position, FieldType type);
};

// Writes the field's FieldSize(type) bytes at the start of `out` (which must hold them). A value that
// is not supplied writes nothing. Throws FieldMismatch when the value does not fit the type.
void EncodeField(FieldType type, const FieldValue& value, std::span<uint8_t> out);
// Reads the field from the first FieldSize(type) bytes of `in` (which must hold them).
void DecodeField(FieldType type, std::span<const uint8_t> in, const FieldOut& out);
// What a field absent from an answer decodes to: 0 for numbers, the not-set float, an empty text.
void DecodeMissingField(FieldType type, const FieldOut& out);

// HART packed ASCII: `characters` (a multiple of 4) 6-bit characters into characters * 3 / 4 bytes of
// `out`. The text is upper-cased and padded with spaces; characters beyond `characters` are ignored.
void PackAscii(std::string_view text, size_t characters, std::span<uint8_t> out);
// The reverse: exactly `characters` characters, trailing spaces kept.
std::string UnpackAscii(std::span<const uint8_t> in, size_t characters);

} // namespace zelhart::hart
