#include "core/window_fit.h"

#include <cstdint>

namespace zelhart::ui {

int MulDiv(int a, int b, int c) {
    const std::int64_t product = std::int64_t(a) * b;
    const std::int64_t half = c / 2;
    return int(product >= 0 ? (product + half) / c : (product - half) / c);
}

DialogBaseUnits BaseUnitsFromFont(int alphabetWidth, int height) {
    return {(alphabetWidth / 26 + 1) / 2, height};
}

int DluToPixelsX(int dlu, DialogBaseUnits units) {
    return MulDiv(dlu, units.x, 4);
}

int DluToPixelsY(int dlu, DialogBaseUnits units) {
    return MulDiv(dlu, units.y, 8);
}

Rect MapDialogRect(Rect dlu, DialogBaseUnits units) {
    return {DluToPixelsX(dlu.left, units), DluToPixelsY(dlu.top, units), DluToPixelsX(dlu.right, units),
            DluToPixelsY(dlu.bottom, units)};
}

Rect FitFrameToDesktop(Rect frame, Rect desktop) {
    desktop.bottom -= kTaskBarRoom;
    if (desktop.height() < frame.height()) {
        frame.top = 0;
        frame.bottom = desktop.height();
        frame.right += kScrollBarRoom;
    }
    if (desktop.width() < frame.width()) {
        frame.left = 0;
        frame.right = desktop.width();
    }
    return frame;
}

} // namespace zelhart::ui
