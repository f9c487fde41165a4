// Numbers from command lines, control lines and files: the whole text must be the number, and the
// number must lie in its bounds. Independent of the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelhart::sim {

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t max);
std::optional<float> ParseFiniteFloat(std::string_view text);

} // namespace zelhart::sim
