// How the pages read what the user types: the numeric input filter of the number edits, numbers in
// the C library's numeric locale (the user's, set at start), the tag edit's character rule, and the
// range checks of the edits that speak when the user leaves them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelhart::ui {

// The decimal separator: the first character of the numeric locale's decimal point.
char DecimalSeparator();

// The text as the filter leaves it: digits and the first decimal separator are kept; a minus sign
// only at the start and only when `allowSign`; everything else is removed.
std::string FilterNumber(std::string_view text, char decimalSeparator, bool allowSign);

// The value of a filtered text as the C library reads it in the numeric locale, as a float; NaN for
// an empty text.
float NumberFromText(const std::string& text);
// The leading whole number of a text as the C library's text-to-integer conversion reads it.
long IntegerFromText(const std::string& text);

// The tag edit: every character outside space..'_' (the packed-ASCII set) is refused. `text` is
// what the edit holds (already upper case).
struct TagInput {
    std::u16string text;           // without the refused characters, at most 8 characters
    std::vector<char16_t> refused; // each refused character once, in the order met
    bool cut = false;              // longer than 8 characters: cut
};
TagInput FilterTag(std::u16string_view text);

// Damping, when its edit loses the focus: message 901 when the whole part is above 32; else 0.
int DampingLeaveCheck(const std::string& text);

// The loop calibration's measured-current edits (4 mA or 20 mA point), when they lose the focus:
// the message for an empty value, a value above or below the point's window; 0 when it fits.
// `refocus`: the focus goes back to the edit.
struct LeaveCheck {
    int messageId = 0;
    bool refocus = false;
};
LeaveCheck LoopCurrentLeaveCheck(bool twentyMilliamperes, float value);

} // namespace zelhart::ui
