#include "zelhart/sim/text_numbers.h"

#include <charconv>
#include <cmath>

namespace zelhart::sim {

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v > max) return std::nullopt;
    return v;
}

std::optional<float> ParseFiniteFloat(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    float v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

} // namespace zelhart::sim
