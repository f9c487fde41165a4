#include "about_dialog.h"

#include "hyperlink.h"
#include "qt_text.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

// Picture 1242: a 150 x 150 sign of the transmitter, a dial with the 4-20 mA loop's needle.
QPixmap Logo() {
    QPixmap pixmap(150, 150);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 64, 128), 6));
    p.setBrush(QColor(230, 238, 246));
    p.drawEllipse(QRectF(10, 10, 130, 130));
    p.setPen(QPen(QColor(200, 0, 0), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(75, 75), QPointF(115, 45));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 64, 128));
    p.drawEllipse(QPointF(75, 75), 8, 8);
    return pixmap;
}

} // namespace

QString ProgramVersion() {
    return QStringLiteral(ZELHART_VERSION);
}

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent), version_(new QLabel(this)), link_(new CHyperLink(this)) {
    setObjectName("CAboutDialog");
    setWindowTitle(Text(str::kAboutCaption));
    auto* picture = new QLabel(this);
    picture->setObjectName("picture1242");
    picture->setPixmap(Logo());
    auto* program = new QLabel(Text(str::kAboutProgram), this);
    program->setObjectName("text189");
    auto* maker = new QLabel(Text(str::kAboutMaker), this);
    maker->setObjectName("text190");
    version_->setObjectName("text188");
    version_->setText(Text(str::kVersionPrefix) + ProgramVersion());
    link_->SetURL(Text(str::kAboutLink));
    auto* ok = new QPushButton(Text(str::kAboutOk), this);
    ok->setObjectName("button1");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(picture, 0, 0, 5, 1);
    layout->addWidget(program, 0, 1);
    layout->addWidget(version_, 1, 1);
    layout->addWidget(maker, 2, 1);
    layout->addWidget(link_, 3, 1);
    layout->addWidget(ok, 4, 1, Qt::AlignRight | Qt::AlignBottom);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace zelhart::ui
