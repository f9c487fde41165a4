#include "hart/fields.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zelhart::hart {
namespace {

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>; // clang before 17 deduces no aggregates

bool IsInteger(FieldType t) {
    return t == FieldType::Int16 || t == FieldType::Int32 || t == FieldType::UInt24;
}

uint32_t ReadBigEndian(std::span<const uint8_t> in, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v = (v << 8) | in[i];
    return v;
}

void WriteBigEndian(uint32_t v, size_t bytes, std::span<uint8_t> out) {
    for (size_t i = 0; i < bytes; ++i)
        out[i] = uint8_t(v >> (8 * (bytes - 1 - i)));
}

// The 32-bit value a decoded integer field stands for.
uint32_t DecodeInteger(FieldType type, std::span<const uint8_t> in) {
    switch (type) {
    case FieldType::Byte:
        return in[0];
    case FieldType::Int16:
        return uint32_t(int32_t(int16_t(ReadBigEndian(in, 2))));
    case FieldType::UInt24:
        return ReadBigEndian(in, 3);
    default:
        return ReadBigEndian(in, 4);
    }
}

void StoreText(std::string_view text, const std::variant<std::monostate, uint8_t*, int32_t*, uint32_t*,
                                                         float*, std::string*, std::span<char>>& out) {
    if (auto s = std::get_if<std::string*>(&out)) {
        (*s)->assign(text);
    } else if (auto b = std::get_if<std::span<char>>(&out)) {
        size_t n = std::min(text.size(), b->size() - 1);
        std::memcpy(b->data(), text.data(), n);
        (*b)[n] = '\0';
    }
}

} // namespace

FieldValue::FieldValue(const char* text) {
    if (text) value_ = std::string_view(text, ::strnlen(text, kMaxTextCharacters));
}

bool FieldValue::Fits(FieldType type) const {
    return std::visit(Overloaded{
                          [](std::monostate) { return true; },
                          [&](const uint8_t*) { return type == FieldType::Byte; },
                          [&](const int32_t*) { return type == FieldType::Byte || IsInteger(type); },
                          [&](const uint32_t*) { return type == FieldType::Byte || IsInteger(type); },
                          [&](const float*) { return type == FieldType::Float; },
                          [&](std::string_view) { return PackedCharacters(type) != 0; },
                      },
                      value_);
}

bool FieldOut::Fits(FieldType type) const {
    return std::visit(Overloaded{
                          [](std::monostate) { return true; },
                          [&](uint8_t*) { return type == FieldType::Byte; },
                          [&](int32_t*) { return type == FieldType::Byte || IsInteger(type); },
                          [&](uint32_t*) { return type == FieldType::Byte || IsInteger(type); },
                          [&](float*) { return type == FieldType::Float; },
                          [&](std::string*) { return PackedCharacters(type) != 0; },
                          [&](std::span<char>) { return PackedCharacters(type) != 0; },
                      },
                      value_);
}

FieldMismatch::FieldMismatch(size_t position, FieldType type)
    : std::invalid_argument("value " + std::to_string(position) + " does not fit field type " +
                            std::to_string(int(type))) {}

void EncodeField(FieldType type, const FieldValue& value, std::span<uint8_t> out) {
    if (!value.Fits(type)) throw FieldMismatch(0, type);
    const size_t size = FieldSize(type);
    std::visit(Overloaded{
                   [](std::monostate) {},
                   [&](const uint8_t* v) { out[0] = *v; },
                   [&](const int32_t* v) { WriteBigEndian(uint32_t(*v), size, out); },
                   [&](const uint32_t* v) { WriteBigEndian(*v, size, out); },
                   [&](const float* v) { WriteBigEndian(std::bit_cast<uint32_t>(*v), 4, out); },
                   [&](std::string_view text) { PackAscii(text, PackedCharacters(type), out); },
               },
               value.value_);
}

void DecodeField(FieldType type, std::span<const uint8_t> in, const FieldOut& out) {
    if (!out.Fits(type)) throw FieldMismatch(0, type);
    if (type == FieldType::Float) {
        if (auto f = std::get_if<float*>(&out.value_)) **f = std::bit_cast<float>(ReadBigEndian(in, 4));
        return;
    }
    if (size_t chars = PackedCharacters(type)) {
        StoreText(UnpackAscii(in, chars), out.value_);
        return;
    }
    uint32_t v = DecodeInteger(type, in);
    if (auto b = std::get_if<uint8_t*>(&out.value_)) **b = uint8_t(v);
    if (auto i = std::get_if<int32_t*>(&out.value_)) **i = int32_t(v);
    if (auto u = std::get_if<uint32_t*>(&out.value_)) **u = v;
}

void DecodeMissingField(FieldType type, const FieldOut& out) {
    if (!out.Fits(type)) throw FieldMismatch(0, type);
    std::visit(Overloaded{
                   [](std::monostate) {},
                   [](uint8_t* v) { *v = 0; },
                   [](int32_t* v) { *v = 0; },
                   [](uint32_t* v) { *v = 0; },
                   [](float* v) { *v = std::bit_cast<float>(kUnsetFloatBits); },
                   [&](std::string* s) { s->clear(); },
                   [&](std::span<char> b) { b[0] = '\0'; },
               },
               out.value_);
}

void PackAscii(std::string_view text, size_t characters, std::span<uint8_t> out) {
    for (size_t i = 0; i < characters; ++i) {
        unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
        if (c >= 'a' && c <= 'z') c = c - 'a' + 'A';
        if (c >= 64 && c <= 95) c -= 64;
        const uint8_t six = c & 0x3F;
        // Four characters fill three bytes, most significant bit first.
        const size_t base = i / 4 * 3;
        switch (i % 4) {
        case 0:
            out[base] = uint8_t(six << 2);
            break;
        case 1:
            out[base] |= six >> 4;
            out[base + 1] = uint8_t(six << 4);
            break;
        case 2:
            out[base + 1] |= six >> 2;
            out[base + 2] = uint8_t(six << 6);
            break;
        case 3:
            out[base + 2] |= six;
            break;
        }
    }
}

std::string UnpackAscii(std::span<const uint8_t> in, size_t characters) {
    std::string text(characters, ' ');
    for (size_t i = 0; i < characters; ++i) {
        const size_t base = i / 4 * 3;
        uint8_t six = 0;
        switch (i % 4) {
        case 0:
            six = in[base] >> 2;
            break;
        case 1:
            six = uint8_t((in[base] & 0x03) << 4 | in[base + 1] >> 4);
            break;
        case 2:
            six = uint8_t((in[base + 1] & 0x0F) << 2 | in[base + 2] >> 6);
            break;
        case 3:
            six = in[base + 2] & 0x3F;
            break;
        }
        text[i] = char(six < 32 ? six + 64 : six);
    }
    return text;
}

} // namespace zelhart::hart
