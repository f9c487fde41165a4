#include "pages/advanced_page.h"

#include "controls.h"
#include "core/commands.h"
#include "core/page_input.h"
#include "core/page_lists.h"
#include "core/settings_pages.h"
#include "qt_text.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

constexpr int kLevelIds[4] = {147, 149, 151, 153};
constexpr int kLevelLabels[4] = {146, 148, 150, 152};
constexpr Field kLevelFields[4] = {Field::LowAlarm, Field::HighAlarm, Field::LowSaturation,
                                   Field::HighSaturation};

CColorComboBox* NewList(QWidget* parent, int id, int firstText) {
    auto* combo = new CColorComboBox(parent);
    combo->setObjectName(QStringLiteral("combo%1").arg(id));
    combo->SetColors(kNormalText, kNormalBackground, kNormalText, kHighlightBackground);
    combo->addItem(QString());
    if (firstText) combo->addItems({Text(firstText), Text(firstText + 1)});
    return combo;
}

// The code of a code list's entry: 0 -> 2 (not set), 1 -> 0, 2 -> 1.
std::int32_t CodeOfIndex(int index) {
    return index <= 0 ? kCodeNotSet : index - 1;
}

} // namespace

CAdvancedPropPage::CAdvancedPropPage(QWidget* parent) : CPropPage(106, parent) {
    auto* alarm = new QGroupBox(Caption(115), this);
    auto* extra = new QGroupBox(Caption(116), this);
    alarmType_ = NewList(alarm, 145, str::kAlarmHigh);
    filter_ = NewList(extra, 155, str::kFilter60Hz);
    protection_ = NewList(extra, 157, str::kProtectionOff);
    send_ = new QPushButton(Caption(1244), this);
    send_->setObjectName("button1244");

    auto* grid = CompactGrid(alarm);
    grid->addWidget(NewLabel(144, alarm), 0, 0);
    grid->addWidget(alarmType_, 0, 1);
    for (int i = 0; i < kLevels; ++i) {
        levels_[i] = NewList(alarm, kLevelIds[i], 0);
        levels_[i]->setEditable(true);
        levels_[i]->setInsertPolicy(QComboBox::NoInsert);
        for (float preset : LevelPresets(kLevelIds[i]))
            levels_[i]->addItem(Qs(FormatNumber(preset, 2)));
        grid->addWidget(NewLabel(kLevelLabels[i], alarm), i + 1, 0);
        grid->addWidget(levels_[i], i + 1, 1);
        connect(levels_[i], &QComboBox::activated, this,
                [this, i](int index) { StoreLevel(i, NumberFromText(Utf8Of(levels_[i]->itemText(index)))); });
        connect(levels_[i]->lineEdit(), &QLineEdit::textEdited, this,
                [this, i] { StoreLevel(i, FilterNumberEdit(levels_[i]->lineEdit(), false)); });
    }
    grid->setColumnStretch(1, 1);
    auto* more = CompactGrid(extra);
    more->addWidget(NewLabel(154, extra), 0, 0);
    more->addWidget(filter_, 0, 1);
    more->addWidget(NewLabel(156, extra), 1, 0);
    more->addWidget(protection_, 1, 1);
    more->setColumnStretch(1, 1);

    auto* right = new QVBoxLayout;
    right->addWidget(extra);
    right->addStretch();
    right->addWidget(send_, 0, Qt::AlignRight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(alarm, 3);
    layout->addLayout(right, 2);

    QWidget* const tipped[] = {alarmType_, levels_[0], levels_[1], levels_[2],
                               levels_[3], filter_,    protection_};
    for (int i = 0; i < int(std::size(tipped)); ++i)
        tipped[i]->setToolTip(NarrowToolTip(Text(str::kTipAlarmType + i)));

    connect(alarmType_, &QComboBox::activated, this, [this](int index) {
        if (index == 2) Say(str::kLowAlarmTypeNote);
        if (m_pDoc) m_pDoc->Transmitter().SetAlarmType(CodeOfIndex(index));
    });
    connect(filter_, &QComboBox::activated, this, [this](int index) {
        if (m_pDoc) m_pDoc->Transmitter().SetFilter(CodeOfIndex(index));
    });
    connect(protection_, &QComboBox::activated, this, [this](int index) {
        if (m_pDoc) m_pDoc->Transmitter().SetWriteProtect(CodeOfIndex(index));
    });
    connect(send_, &QPushButton::clicked, this, &CAdvancedPropPage::OnSend);
}

void CAdvancedPropPage::StoreLevel(int level, float value) {
    if (!m_pDoc) return;
    hart::CTransmitter& t = m_pDoc->Transmitter();
    switch (level) {
    case 0:
        t.SetLowAlarm(value);
        break;
    case 1:
        t.SetHighAlarm(value);
        break;
    case 2:
        t.SetLowSaturation(value);
        break;
    default:
        t.SetHighSaturation(value);
        break;
    }
}

void CAdvancedPropPage::OnSend() {
    if (!m_pDoc) return;
    const hart::CTransmitter& t = m_pDoc->Transmitter();
    if (const int message = AdvancedSendCheck(t.GetLowAlarm(), t.GetHighAlarm(), t.GetLowSaturation(),
                                              t.GetHighSaturation())) {
        Say(message, hart::MessageIcon::Stop);
        return;
    }
    emit commandRequested(kCmdSendAdvanced);
}

bool CAdvancedPropPage::RefreshFromDocument() {
    if (!m_pDoc) return false;
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    const struct {
        CColorComboBox* list;
        std::int32_t code;
        Field field;
    } codes[] = {{alarmType_, m.GetAlarmType(), Field::AlarmType},
                 {filter_, m.GetFilter(), Field::Filter},
                 {protection_, m.GetWriteProtect(), Field::WriteProtect}};
    for (const auto& c : codes) {
        c.list->setCurrentIndex(CodeListIndex(c.code));
        c.list->SetHighlighted(m.GetFieldError(c.field));
    }
    const float values[kLevels] = {m.GetLowAlarm(), m.GetHighAlarm(), m.GetLowSaturation(),
                                   m.GetHighSaturation()};
    for (int i = 0; i < kLevels; ++i) {
        levels_[i]->setEditText(Qs(FormatNumber(values[i], 2)));
        levels_[i]->SetHighlighted(m.GetFieldError(kLevelFields[i]));
    }
    return AnyFlagged({Field::AlarmType, Field::LowAlarm, Field::HighAlarm, Field::LowSaturation,
                       Field::HighSaturation, Field::Filter, Field::WriteProtect});
}

void CAdvancedPropPage::EnableControls(bool enable) {
    send_->setEnabled(enable);
}

std::vector<ReportRow> CAdvancedPropPage::ReportRows() const {
    const std::string mA(hart::LoadString(str::kMilliamperes));
    std::vector<ReportRow> rows = {{str::kLabelAlarmType, Utf8Of(alarmType_->currentText()), {}}};
    const int labels[kLevels] = {str::kLabelLowAlarm, str::kLabelHighAlarm, str::kLabelLowSaturation,
                                 str::kLabelHighSaturation};
    for (int i = 0; i < kLevels; ++i)
        rows.push_back({labels[i], Utf8Of(levels_[i]->currentText()), mA});
    rows.push_back({str::kLabelFilter, Utf8Of(filter_->currentText()), {}});
    rows.push_back({str::kLabelWriteProtect, Utf8Of(protection_->currentText()), {}});
    return rows;
}

} // namespace zelhart::ui
