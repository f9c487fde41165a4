// Numbers the front end takes from people and scripts: on the command line, typed at the terminal or
// read from a file of meter readings. One rule for all of them: a plain decimal number (no exponent,
// no "inf" or "nan") with a full stop as separator, whatever the locale.
#pragma once

#include <optional>
#include <string_view>

namespace zelhart::cli {

std::optional<int> ParsePortNumber(std::string_view text);
std::optional<long long> ParseCount(std::string_view text, long long min, long long max);
// A finite decimal number with '.' as separator, whatever the locale.
std::optional<float> ParseFloat(std::string_view text);
// ParseFloat for a number a person typed at the terminal: the decimal separator of the user's numeric
// locale is taken as well as '.'.
std::optional<float> ParseTypedFloat(std::string_view text);
// Units of a calibration: C F R K mV Ohm (any case), their display texts, or the codes 32..37.
std::optional<int> ParseUnits(std::string_view text);

} // namespace zelhart::cli
