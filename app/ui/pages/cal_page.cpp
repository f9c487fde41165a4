#include "pages/cal_page.h"

#include "controls.h"
#include "qt_text.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {
namespace {

QPushButton* Button(int control, QWidget* parent) {
    auto* b = new QPushButton(Text(hart::str::TemplateText(1238, control)), parent);
    b->setObjectName(QStringLiteral("button%1").arg(control));
    return b;
}

} // namespace

CCalPropPage::CCalPropPage(QWidget* parent) : CPropPage(1238, parent) {
    auto* sensor = new QGroupBox(Text(hart::str::TemplateText(1238, 1245)), this);
    auto* sensorStart = Button(1266, sensor);
    auto* reset = Button(1265, sensor);
    auto* sensorLayout = new QHBoxLayout(sensor);
    sensorLayout->addWidget(sensorStart);
    sensorLayout->addStretch();
    sensorLayout->addWidget(reset);

    auto* loop = new QGroupBox(Text(hart::str::TemplateText(1238, 115)), this);
    auto* loopStart = Button(1250, loop);
    auto* loopLayout = new QHBoxLayout(loop);
    loopLayout->addWidget(loopStart);
    loopLayout->addStretch();

    auto* dac = new QGroupBox(Text(hart::str::TemplateText(1238, 116)), this);
    auto* fixedCurrent = new CMyColorEdit(dac);
    fixedCurrent->setObjectName("edit1246");
    fixedCurrent->setMaxLength(5);
    auto* set = Button(1255, dac);
    auto* clear = Button(1248, dac);
    auto* dacLayout = new QHBoxLayout(dac);
    dacLayout->addWidget(fixedCurrent);
    dacLayout->addWidget(set);
    dacLayout->addWidget(clear);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(sensor);
    layout->addWidget(loop);
    layout->addWidget(dac);
    layout->addStretch();
    actions_ = {sensorStart, reset, loopStart, fixedCurrent, set, clear};
}

bool CCalPropPage::RefreshFromDocument() {
    return false;
}

void CCalPropPage::EnableControls(bool enable) {
    for (QWidget* w : actions_)
        w->setEnabled(enable);
}

} // namespace zelhart::ui
