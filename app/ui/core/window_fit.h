// The main window's size: the form of template 104 in dialog units, converted to pixels with the
// dialog font's average character size, and the frame fitted to the screen.
#pragma once

namespace zelhart::ui {

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

constexpr Rect RectXYWH(int x, int y, int width, int height) {
    return {x, y, x + width, y + height};
}

// Template 104, in dialog units.
inline constexpr int kFormWidthDlu = 343;
inline constexpr int kFormHeightDlu = 221;
inline constexpr Rect kTabControlDlu = RectXYWH(7, 15, 330, 155);
inline constexpr Rect kOpenButtonDlu = RectXYWH(170, 177, 71, 18);
inline constexpr Rect kLoadButtonDlu = RectXYWH(245, 177, 91, 18);
inline constexpr Rect kProgressBarDlu = RectXYWH(6, 203, 329, 7);

// The dialog base units: the average character width and the character height of the dialog font.
// A dialog unit is a quarter of the first horizontally and an eighth of the second vertically.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

// The letters whose width gives the average character width.
inline constexpr const char* kBaseUnitAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The base units of a font from the width of kBaseUnitAlphabet and the font's height, rounded the
// way the original platform rounds them.
DialogBaseUnits BaseUnitsFromFont(int alphabetWidth, int height);

// a * b / c, rounded half away from zero (c > 0).
int MulDiv(int a, int b, int c);

// Dialog units to pixels.
Rect MapDialogRect(Rect dlu, DialogBaseUnits units);
int DluToPixelsX(int dlu, DialogBaseUnits units);
int DluToPixelsY(int dlu, DialogBaseUnits units);

// Room left for the task bar below the window.
inline constexpr int kTaskBarRoom = 35;
// Room added for a vertical scroll bar when the window is cut in height.
inline constexpr int kScrollBarRoom = 16;

// The frame fitted to the screen: the screen less kTaskBarRoom at the bottom. Too tall: placed at the
// top, as tall as that, and kScrollBarRoom wider. Too wide: placed at the left edge, as wide as the
// screen. Otherwise unchanged.
Rect FitFrameToDesktop(Rect frame, Rect desktop);

} // namespace zelhart::ui
