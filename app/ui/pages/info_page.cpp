#include "pages/info_page.h"

#include "controls.h"
#include "pages/value_rows.h"
#include "qt_text.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {

CInfoPropertyPage::CInfoPropertyPage(QWidget* parent)
    : CPropPage(107, parent), rows_(new ValueRows(this)), sensorLamp_(new CTransparentImage(this)),
      deviceLamp_(new CTransparentImage(this)),
      monitor_(new QPushButton(Text(hart::str::TemplateText(107, 194)), this)) {
    monitor_->setObjectName("button194");
    sensorLamp_->setObjectName("lamp168");
    deviceLamp_->setObjectName("lamp171");
    sensorLamp_->SetBitmap(LampBitmap(Lamp::Grey));
    deviceLamp_->SetBitmap(LampBitmap(Lamp::Grey));
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(sensorLamp_);
    bottom->addWidget(deviceLamp_);
    bottom->addStretch();
    bottom->addWidget(monitor_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rows_);
    layout->addStretch();
    layout->addLayout(bottom);
}

bool CInfoPropertyPage::RefreshFromDocument() {
    if (!m_pDoc) return false;
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    rows_->Show(ReportFromModel(m).sections[2], {}, m.GetFieldErrors());
    sensorRed_ = m.GetSensorFault() != 0;
    deviceRed_ = m.GetDeviceFault() != 0;
    sensorLamp_->SetBitmap(LampBitmap(sensorRed_ ? Lamp::Red : Lamp::Grey));
    deviceLamp_->SetBitmap(LampBitmap(deviceRed_ ? Lamp::Red : Lamp::Grey));
    return false;
}

void CInfoPropertyPage::EnableControls(bool enable) {
    monitor_->setEnabled(enable);
}

std::vector<ReportRow> CInfoPropertyPage::ReportRows() const {
    return rows_->Rows();
}

} // namespace zelhart::ui
