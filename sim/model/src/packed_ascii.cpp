#include "zelhart/sim/packed_ascii.h"

namespace zelhart::sim {
namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

} // namespace

bool IsPackable(std::string_view text) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(Upper(c));
        if (u < 32 || u > 95) return false;
    }
    return true;
}

std::vector<uint8_t> PackAscii(std::string_view text, size_t characters) {
    std::vector<uint8_t> out(characters / 4 * 3, 0);
    for (size_t i = 0; i < characters / 4 * 4; ++i) {
        unsigned char c = i < text.size() ? static_cast<unsigned char>(Upper(text[i])) : ' ';
        uint32_t v = c & 0x3F;
        size_t bit = i * 6; // position of the character's most significant bit
        size_t byte = bit / 8;
        size_t shift = bit % 8;
        // The six bits span at most two bytes.
        uint16_t word = static_cast<uint16_t>(v << (10 - shift));
        out[byte] |= static_cast<uint8_t>(word >> 8);
        if (byte + 1 < out.size()) out[byte + 1] |= static_cast<uint8_t>(word & 0xFF);
    }
    return out;
}

std::string UnpackAscii(std::span<const uint8_t> bytes) {
    size_t characters = bytes.size() / 3 * 4;
    std::string out;
    out.reserve(characters);
    for (size_t i = 0; i < characters; ++i) {
        size_t bit = i * 6;
        size_t byte = bit / 8;
        size_t shift = bit % 8;
        uint16_t word = static_cast<uint16_t>(bytes[byte] << 8);
        if (byte + 1 < bytes.size()) word |= bytes[byte + 1];
        uint8_t v = (word >> (10 - shift)) & 0x3F;
        out.push_back(static_cast<char>(v < 32 ? v + 64 : v));
    }
    return out;
}

} // namespace zelhart::sim
