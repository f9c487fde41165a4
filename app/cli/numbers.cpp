#include "numbers.h"

#include "hart/sensor_limits.h"
#include "hart/transmitter_model.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <string>

namespace zelhart::cli {

std::optional<int> ParsePortNumber(std::string_view text) {
    const auto n = ParseCount(text, 1, 255);
    return n ? std::optional<int>(int(*n)) : std::nullopt;
}

std::optional<long long> ParseCount(std::string_view text, long long min, long long max) {
    long long n = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || p != text.data() + text.size() || n < min || n > max) return std::nullopt;
    return n;
}

std::optional<float> ParseFloat(std::string_view text) {
    float v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<float> ParseTypedFloat(std::string_view text) {
    std::string s(text);
    const char* point = std::localeconv()->decimal_point;
    if (point && point[0] && !point[1] && point[0] != '.')
        for (char& c : s)
            if (c == point[0]) c = '.';
    return ParseFloat(s);
}

std::optional<int> ParseUnits(std::string_view text) {
    static constexpr std::string_view kNames[] = {"c", "f", "r", "k", "mv", "ohm"};
    std::string lower(text);
    for (char& c : lower)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (int i = 0; i < 6; ++i) {
        if (lower == kNames[i] || text == UnitText(kUnitsCelsius + i)) return kUnitsCelsius + i;
    }
    if (const auto code = ParseCount(text, kUnitsCelsius, kUnitsOhm)) return int(*code);
    return std::nullopt;
}

} // namespace zelhart::cli
