#include "core/page_input.h"

#include "hart/strings.h"
#include "hart/transmitter_model_fields.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>

namespace zelhart::ui {

char DecimalSeparator() {
    const char* point = std::localeconv()->decimal_point;
    return point && point[0] ? point[0] : '.';
}

std::string FilterNumber(std::string_view text, char decimalSeparator, bool allowSign) {
    std::string kept;
    bool separator = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            kept += c;
        } else if (c == decimalSeparator && !separator) {
            separator = true;
            kept += c;
        } else if (c == '-' && allowSign && kept.empty()) {
            kept += c;
        }
    }
    return kept;
}

float NumberFromText(const std::string& text) {
    if (text.empty()) return NotANumber;
    return static_cast<float>(std::strtod(text.c_str(), nullptr));
}

long IntegerFromText(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

TagInput FilterTag(std::u16string_view text) {
    TagInput result;
    for (char16_t c : text) {
        if (c < 0x20 || c > 0x5F) {
            if (std::find(result.refused.begin(), result.refused.end(), c) == result.refused.end())
                result.refused.push_back(c);
            continue;
        }
        result.text += c;
    }
    if (result.text.size() > kTagLength) {
        result.text.resize(kTagLength);
        result.cut = true;
    }
    return result;
}

int DampingLeaveCheck(const std::string& text) {
    return IntegerFromText(text) > 32 ? hart::str::kDampingOutOfRange : 0;
}

LeaveCheck LoopCurrentLeaveCheck(bool twenty, float value) {
    namespace str = hart::str;
    if (IsNotSet(value)) return {twenty ? str::kNo20mAValue : str::kNo4mAValue, false};
    const float high = twenty ? 20.5f : 4.2f;
    const float low = twenty ? 19.5f : 3.8f;
    if (value > high) return {twenty ? str::k20mAValueTooHigh : str::k4mAValueTooHigh, true};
    if (value < low) return {twenty ? str::k20mAValueTooLow : str::k4mAValueTooLow, true};
    return {};
}

} // namespace zelhart::ui
