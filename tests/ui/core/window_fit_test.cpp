// Dialog units and fitting the main window to the screen.
#include "core/window_fit.h"

#include <gtest/gtest.h>

namespace zelhart::ui {
namespace {

TEST(WindowFitTest, DialogUnitsFollowTheFontsAverageCharacterSize) {
    // A font whose 52 letters are 364 pixels wide and 13 pixels high: base units 7 x 13.
    const DialogBaseUnits units = BaseUnitsFromFont(364, 13);
    EXPECT_EQ(units.x, 7);
    EXPECT_EQ(units.y, 13);
    EXPECT_EQ(BaseUnitsFromFont(338, 16).x, 7); // 338/26 = 13, rounded up half: 7
    EXPECT_EQ(DluToPixelsX(kFormWidthDlu, units), 600);  // 343 * 7 / 4 = 600.25
    EXPECT_EQ(DluToPixelsY(kFormHeightDlu, units), 359); // 221 * 13 / 8 = 359.1
    EXPECT_EQ(MapDialogRect(kOpenButtonDlu, units), (Rect{298, 288, 422, 317}));
    EXPECT_EQ(MulDiv(5, 3, 2), 8);   // 7.5 rounds away from zero
    EXPECT_EQ(MulDiv(-5, 3, 2), -8);
}

TEST(WindowFitTest, TheFrameIsCutToTheScreenLessTheTaskBar) {
    const Rect frame = RectXYWH(100, 80, 600, 420);
    const struct {
        Rect desktop;
        Rect fitted;
    } cases[] = {
        {RectXYWH(0, 0, 1920, 1080), frame},                      // fits: unchanged
        {RectXYWH(0, 0, 1024, 400), Rect{100, 0, 716, 365}},      // too tall: top, 400-35 high, 16 wider
        {RectXYWH(0, 0, 500, 1000), Rect{0, 80, 500, 500}},       // too wide: left edge, screen wide
        {RectXYWH(0, 0, 610, 300), Rect{0, 0, 610, 265}},         // both: the added 16 makes it too wide
        {RectXYWH(0, 0, 600, 455), frame},                        // exactly: 455 - 35 = 420
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FitFrameToDesktop(frame, c.desktop), c.fitted)
            << c.desktop.width() << "x" << c.desktop.height();
    }
}

} // namespace
} // namespace zelhart::ui
