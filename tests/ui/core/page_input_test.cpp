// The pages' input rules without widgets: the numeric filter under both separators, the tag rule,
// the damping and loop-current leave checks.
#include "core/page_input.h"

#include "hart/strings.h"
#include "hart/transmitter_model_fields.h"

#include <gtest/gtest.h>

#include <clocale>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

TEST(PageInputTest, TheNumericFilterKeepsDigitsOneSeparatorAndALeadingSign) {
    const struct {
        const char* typed;
        char separator;
        bool sign;
        const char* kept;
    } cases[] = {
        {"1a2.3.4", '.', true, "12.34"}, {"-12.5", '.', true, "-12.5"},     {"-12.5", '.', false, "12.5"},
        {"1-2", '.', true, "12"},        {"a-5", '.', true, "-5"},          {"--5", '.', true, "-5"},
        {"3.75", ',', false, "375"},     {"1a2,3,4", ',', true, "12,34"},   {"", '.', true, ""},
        {"ё1.5", '.', false, "1.5"},     {"1 000,5", ',', false, "1000,5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FilterNumber(c.typed, c.separator, c.sign), c.kept) << c.typed;
}

TEST(PageInputTest, NumbersAreReadInTheNumericLocale) {
    EXPECT_EQ(DecimalSeparator(), '.');
    EXPECT_FLOAT_EQ(NumberFromText("12.34"), 12.34f);
    EXPECT_TRUE(IsNotSet(NumberFromText("")));
    EXPECT_EQ(IntegerFromText("32.9"), 32);
    if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
    const char separator = DecimalSeparator();
    const float value = NumberFromText("12,34");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(separator, ',');
    EXPECT_FLOAT_EQ(value, 12.34f);
}

TEST(PageInputTest, TheTagRefusesWhatPackedAsciiCannotHoldAndKeepsEight) {
    TagInput t = FilterTag(u"AB");
    EXPECT_EQ(t.text, u"AB");
    EXPECT_TRUE(t.refused.empty());
    t = FilterTag(u"TЖ-1Ж`");
    EXPECT_EQ(t.text, u"T-1");
    EXPECT_EQ(t.refused, (std::vector<char16_t>{u'Ж', u'`'}));
    t = FilterTag(u"ABCDEFGHIJ");
    EXPECT_EQ(t.text, u"ABCDEFGH");
    EXPECT_TRUE(t.cut);
    EXPECT_EQ(FilterTag(u"A_ ?@").text, u"A_ ?@"); // the edges of the set
}

TEST(PageInputTest, LeaveChecksOfDampingAndTheMeasuredCurrents) {
    EXPECT_EQ(DampingLeaveCheck("33"), str::kDampingOutOfRange);
    EXPECT_EQ(DampingLeaveCheck("32.9"), 0);
    EXPECT_EQ(DampingLeaveCheck(""), 0);
    const struct {
        bool twenty;
        float value;
        int message;
        bool refocus;
    } cases[] = {
        {false, NotANumber, str::kNo4mAValue, false}, {false, 4.25f, str::k4mAValueTooHigh, true},
        {false, 3.79f, str::k4mAValueTooLow, true},   {false, 4.2f, 0, false},
        {true, NotANumber, str::kNo20mAValue, false}, {true, 20.6f, str::k20mAValueTooHigh, true},
        {true, 19.4f, str::k20mAValueTooLow, true},   {true, 19.5f, 0, false},
    };
    for (const auto& c : cases) {
        const LeaveCheck check = LoopCurrentLeaveCheck(c.twenty, c.value);
        EXPECT_EQ(check.messageId, c.message) << c.value;
        EXPECT_EQ(check.refocus, c.refocus) << c.value;
    }
}

} // namespace
} // namespace zelhart::ui
