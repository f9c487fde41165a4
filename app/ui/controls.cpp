#include "controls.h"

#include <QImage>
#include <QPainter>
#include <QPalette>

namespace zelhart::ui {
namespace {

// The colour groups the controls' own colours apply to; the disabled group stays the style's.
constexpr QPalette::ColorGroup kEnabledGroups[] = {QPalette::Active, QPalette::Inactive};

} // namespace

CColorComboBox::CColorComboBox(QWidget* parent) : QComboBox(parent) {
    ApplyColors();
}

void CColorComboBox::SetColors(QColor normalText, QColor normalBackground, QColor highlightText,
                               QColor highlightBackground) {
    normalText_ = normalText;
    normalBackground_ = normalBackground;
    highlightText_ = highlightText;
    highlightBackground_ = highlightBackground;
    ApplyColors();
}

void CColorComboBox::SetHighlighted(bool highlighted) {
    if (highlighted == highlighted_) return;
    highlighted_ = highlighted;
    ApplyColors();
}

void CColorComboBox::ApplyColors() {
    // The edit part, the list part and the button face all take the scheme's colours.
    const QColor text = highlighted_ ? highlightText_ : normalText_;
    const QColor background = highlighted_ ? highlightBackground_ : normalBackground_;
    // Enabled only: a disabled list keeps the style's greyed colours, so it looks disabled.
    QPalette p = palette();
    for (QPalette::ColorGroup group : kEnabledGroups) {
        for (QPalette::ColorRole role : {QPalette::Base, QPalette::Button, QPalette::Window})
            p.setColor(group, role, background);
        for (QPalette::ColorRole role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText})
            p.setColor(group, role, text);
    }
    setPalette(p);
    update();
}

CMyColorEdit::CMyColorEdit(QWidget* parent) : QLineEdit(parent) {
    ApplyColors();
}

void CMyColorEdit::SetTextColor(QColor color) {
    text_ = color;
    ApplyColors();
}

void CMyColorEdit::SetBackgroundColor(QColor color) {
    background_ = color;
    ApplyColors();
}

void CMyColorEdit::ApplyColors() {
    QPalette p = palette();
    for (QPalette::ColorGroup group : kEnabledGroups) {
        p.setColor(group, QPalette::Base, background_);
        p.setColor(group, QPalette::Text, text_);
    }
    setPalette(p);
    update();
}

CTransparentImage::CTransparentImage(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    // Never squeezed by a tight row: a lamp is shown whole.
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CTransparentImage::SetBitmap(const QPixmap& bitmap) {
    bitmap_ = bitmap;
    masked_ = bitmap;
    if (!bitmap.isNull()) {
        const QColor transparent = bitmap.toImage().pixelColor(0, 0);
        masked_.setMask(bitmap.createMaskFromColor(transparent, Qt::MaskInColor));
    }
    updateGeometry();
    update();
}

QSize CTransparentImage::sizeHint() const {
    return bitmap_.isNull() ? QSize(20, 20) : bitmap_.size();
}

QSize CTransparentImage::minimumSizeHint() const {
    return sizeHint();
}

void CTransparentImage::paintEvent(QPaintEvent*) {
    if (masked_.isNull()) return; // a plain, empty static
    QPainter painter(this);
    painter.drawPixmap(0, 0, masked_);
}

QPixmap LampBitmap(Lamp lamp) {
    // 16 colours: 0 the corner colour (transparent), 1 the rim, 2 the lamp, 3 its highlight.
    QImage image(20, 20, QImage::Format_Indexed8);
    QList<QRgb> colours(16, qRgb(0, 0, 0));
    colours[0] = qRgb(255, 0, 255);
    colours[1] = qRgb(64, 64, 64);
    colours[2] = lamp == Lamp::Red ? qRgb(255, 0, 0) : qRgb(128, 128, 128);
    colours[3] = lamp == Lamp::Red ? qRgb(255, 160, 160) : qRgb(192, 192, 192);
    image.setColorTable(colours);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const double dx = x - 9.5, dy = y - 9.5, r2 = dx * dx + dy * dy;
            const double hx = x - 7.0, hy = y - 7.0;
            int index = 0;
            if (r2 <= 9.5 * 9.5) index = 1;
            if (r2 <= 8.0 * 8.0) index = hx * hx + hy * hy <= 6.0 ? 3 : 2;
            image.setPixel(x, y, uint(index));
        }
    return QPixmap::fromImage(image);
}

} // namespace zelhart::ui
