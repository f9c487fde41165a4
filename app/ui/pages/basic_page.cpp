#include "pages/basic_page.h"

#include "core/commands.h"
#include "pages/value_rows.h"
#include "qt_text.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {

CBasicPropPage::CBasicPropPage(QWidget* parent)
    : CPropPage(105, parent), rows_(new ValueRows(this)),
      send_(new QPushButton(Text(hart::str::TemplateText(105, 1244)), this)) {
    send_->setObjectName("button1244");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(rows_);
    layout->addStretch();
    layout->addWidget(send_, 0, Qt::AlignRight);
    connect(send_, &QPushButton::clicked, this, [this] { emit commandRequested(kCmdSendBasic); });
}

bool CBasicPropPage::RefreshFromDocument() {
    if (!m_pDoc) return false;
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    rows_->Show(ReportFromModel(m).sections[0],
                {Field::Tag, Field::SensorType, Field::SensorConnection, Field::LowerRange, Field::UpperRange,
                 std::nullopt, std::nullopt, Field::Damping},
                m.GetFieldErrors());
    return AnyFlagged({Field::Tag, Field::SensorType, Field::SensorConnection, Field::RangeUnits,
                       Field::LowerRange, Field::UpperRange, Field::Damping});
}

void CBasicPropPage::EnableControls(bool enable) {
    send_->setEnabled(enable);
}

std::vector<ReportRow> CBasicPropPage::ReportRows() const {
    return rows_->Rows();
}

} // namespace zelhart::ui
