#include "splash_dialog.h"

#include "qt_text.h"

#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

namespace zelhart::ui {

CSplashDlg::CSplashDlg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName("CSplashDlg");
    auto* picture = new QLabel(this);
    picture->setPixmap(Picture());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture);
}

QPixmap CSplashDlg::Picture() {
    QPixmap pixmap(360, 120);
    pixmap.fill(QColor(0, 64, 128));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPointSize(13);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter | Qt::TextWordWrap, Text(hart::str::kAboutProgram));
    return pixmap;
}

void CSplashDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QTimer::singleShot(0, this, &QDialog::accept);
}

} // namespace zelhart::ui
