// HART packed ASCII: 6-bit characters, four in three bytes, most significant bit first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::sim {

// True when every character can be packed (codes 32..95 after upper-casing a..z).
bool IsPackable(std::string_view text);

// Packs exactly `characters` characters (a multiple of 4): upper-cased, padded with spaces, cut
// when longer. Characters outside 32..95 after upper-casing are packed by their low six bits.
std::vector<uint8_t> PackAscii(std::string_view text, size_t characters);

// Unpacks all characters of `bytes` (its size a multiple of 3); trailing spaces are kept.
std::string UnpackAscii(std::span<const uint8_t> bytes);

} // namespace zelhart::sim
