#include "pages/advanced_page.h"

#include "core/commands.h"
#include "pages/value_rows.h"
#include "qt_text.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {

CAdvancedPropPage::CAdvancedPropPage(QWidget* parent)
    : CPropPage(106, parent), rows_(new ValueRows(this)),
      send_(new QPushButton(Text(hart::str::TemplateText(106, 1244)), this)) {
    send_->setObjectName("button1244");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rows_);
    layout->addStretch();
    layout->addWidget(send_, 0, Qt::AlignRight);
    connect(send_, &QPushButton::clicked, this, [this] { emit commandRequested(kCmdSendAdvanced); });
}

bool CAdvancedPropPage::RefreshFromDocument() {
    if (!m_pDoc) return false;
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    static const std::vector<std::optional<Field>> kFlags = {Field::AlarmType,      Field::LowAlarm,
                                                             Field::HighAlarm,      Field::LowSaturation,
                                                             Field::HighSaturation, Field::Filter,
                                                             Field::WriteProtect};
    rows_->Show(ReportFromModel(m).sections[1], kFlags, m.GetFieldErrors());
    return AnyFlagged({Field::AlarmType, Field::LowAlarm, Field::HighAlarm, Field::LowSaturation,
                       Field::HighSaturation, Field::Filter, Field::WriteProtect});
}

void CAdvancedPropPage::EnableControls(bool enable) {
    send_->setEnabled(enable);
}

std::vector<ReportRow> CAdvancedPropPage::ReportRows() const {
    return rows_->Rows();
}

} // namespace zelhart::ui
