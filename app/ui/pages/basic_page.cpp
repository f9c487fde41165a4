#include "pages/basic_page.h"

#include "controls.h"
#include "core/commands.h"
#include "core/page_input.h"
#include "core/page_lists.h"
#include "qt_text.h"

#include "hart/sensor_limits.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

template <class W> W* Named(W* widget, const char* kind, int id) {
    widget->setObjectName(QStringLiteral("%1%2").arg(QLatin1String(kind)).arg(id));
    return widget;
}

CColorComboBox* NewList(QWidget* parent, int id) {
    auto* combo = Named(new CColorComboBox(parent), "combo", id);
    combo->SetColors(kNormalText, kNormalBackground, kNormalText, kHighlightBackground);
    return combo;
}

void Fill(QComboBox* combo, const QStringList& entries, int selected) {
    const QSignalBlocker block(combo);
    combo->clear();
    combo->addItem(QString());
    combo->addItems(entries);
    combo->setCurrentIndex(selected >= 0 && selected < combo->count() ? selected : 0);
}

QColor Background(bool flagged) {
    return flagged ? kHighlightBackground : kNormalBackground;
}

} // namespace

CBasicPropPage::CBasicPropPage(QWidget* parent) : CPropPage(105, parent) {
    auto* input = Named(new QGroupBox(Caption(113), this), "group", 113);
    auto* output = Named(new QGroupBox(Caption(114), this), "group", 114);
    auto* identification = Named(new QGroupBox(Caption(112), this), "group", 112);
    auto* dampingGroup = new QGroupBox(Caption(65535), this);

    sensor_ = NewList(input, 125);
    connection_ = NewList(input, 127);
    units_ = NewList(output, 129);
    lower_ = Named(new CMyColorEdit(output), "edit", 131);
    upper_ = Named(new CMyColorEdit(output), "edit", 134);
    lowerLimit_ = Named(new CMyColorEdit(output), "edit", 137);
    upperLimit_ = Named(new CMyColorEdit(output), "edit", 140);
    tag_ = Named(new CMyColorEdit(identification), "edit", 123);
    damping_ = Named(new CMyColorEdit(dampingGroup), "edit", 143);
    const int unitIds[4] = {132, 135, 138, 141};
    for (int i = 0; i < 4; ++i)
        unitLabels_[i] = Named(new QLabel(output), "label", unitIds[i]);
    send_ = Named(new QPushButton(Caption(1244), this), "button", 1244);

    for (int s = 0; s < kSensorKindCount; ++s)
        sensor_->addItem(Text(str::kFirstSensorName + s));
    sensor_->insertItem(0, QString());
    sensor_->setCurrentIndex(0);
    lowerLimit_->setReadOnly(true);
    upperLimit_->setReadOnly(true);
    tag_->setMaxLength(8);
    lower_->setMaxLength(7);
    upper_->setMaxLength(7);
    damping_->setMaxLength(4);

    auto* in = CompactGrid(input);
    in->addWidget(NewLabel(124, input), 0, 0);
    in->addWidget(sensor_, 0, 1);
    in->addWidget(NewLabel(126, input), 1, 0);
    in->addWidget(connection_, 1, 1);
    in->setColumnStretch(1, 1);
    auto* out = CompactGrid(output);
    out->addWidget(NewLabel(128, output), 0, 0);
    out->addWidget(units_, 0, 1);
    const int rowLabels[4] = {130, 133, 136, 139};
    CMyColorEdit* rowEdits[4] = {lower_, upper_, lowerLimit_, upperLimit_};
    for (int i = 0; i < 4; ++i) {
        out->addWidget(NewLabel(rowLabels[i], output), i + 1, 0);
        out->addWidget(rowEdits[i], i + 1, 1);
        out->addWidget(unitLabels_[i], i + 1, 2);
        unitLabels_[i]->setMinimumWidth(24);
    }
    out->setColumnStretch(1, 1);
    auto* id = CompactGrid(identification);
    id->addWidget(NewLabel(122, identification), 0, 0);
    id->addWidget(tag_, 0, 1);
    auto* damp = CompactGrid(dampingGroup);
    damp->addWidget(NewLabel(142, dampingGroup), 0, 0);
    damp->addWidget(damping_, 1, 0);

    auto* left = new QVBoxLayout;
    left->addWidget(input);
    left->addWidget(output);
    auto* right = new QVBoxLayout;
    right->addWidget(identification);
    right->addWidget(dampingGroup);
    right->addStretch();
    right->addWidget(send_, 0, Qt::AlignRight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addLayout(left, 3);
    layout->addLayout(right, 2);

    // Tool tips 1206-1218 in the order the page lists its controls.
    QWidget* const tipped[] = {tag_,           sensor_,        connection_,    units_,      lower_,
                               unitLabels_[0], upper_,         unitLabels_[1], lowerLimit_, unitLabels_[2],
                               upperLimit_,    unitLabels_[3], damping_};
    for (int i = 0; i < int(std::size(tipped)); ++i)
        tipped[i]->setToolTip(NarrowToolTip(Text(str::kTipTag + i)));

    connect(sensor_, &QComboBox::activated, this, [this](int index) {
        if (!logic_) return;
        logic_->OnSensorChanged(index);
        ShowChoice();
    });
    connect(connection_, &QComboBox::activated, this, [this](int index) {
        if (logic_) logic_->OnConnectionChanged(index);
    });
    connect(units_, &QComboBox::activated, this, [this](int index) {
        if (!logic_) return;
        logic_->OnUnitsChanged(index);
        ShowChoice();
    });
    connect(lower_, &QLineEdit::textEdited, this, [this] {
        const float v = FilterNumberEdit(lower_, true);
        if (m_pDoc) m_pDoc->Transmitter().SetLowerRange(v);
    });
    connect(upper_, &QLineEdit::textEdited, this, [this] {
        const float v = FilterNumberEdit(upper_, true);
        if (m_pDoc) m_pDoc->Transmitter().SetUpperRange(v);
    });
    connect(damping_, &QLineEdit::textEdited, this, [this] {
        const float v = FilterNumberEdit(damping_, false);
        if (m_pDoc) m_pDoc->Transmitter().SetDamping(v);
    });
    connect(tag_, &QLineEdit::textEdited, this, &CBasicPropPage::OnTagEdited);
    connect(send_, &QPushButton::clicked, this, &CBasicPropPage::OnSend);
    damping_->installEventFilter(this);
    tag_->installEventFilter(this);
}

CBasicPropPage::~CBasicPropPage() = default;

void CBasicPropPage::SetDocument(hart::CLrxDoc* doc) {
    CPropPage::SetDocument(doc);
    logic_ = doc ? std::make_unique<BasicPageLogic>(doc->Transmitter()) : nullptr;
    if (logic_) ShowChoice();
}

void CBasicPropPage::ShowChoice() {
    const BasicShown& s = logic_->Shown();
    if (sensor_->currentIndex() != s.choice.sensor) {
        const QSignalBlocker block(sensor_);
        sensor_->setCurrentIndex(s.choice.sensor);
    }
    QStringList connections, units;
    for (int id : s.connectionTexts)
        connections << Text(id);
    for (std::int32_t code : s.unitsCodes)
        units << Qs(UnitText(code));
    Fill(connection_, connections, s.choice.connection);
    Fill(units_, units, s.choice.units);
    unitLabels_[0]->setText(Qs(s.unitText));
    unitLabels_[1]->setText(Qs(s.unitText));
    lowerLimit_->setText(Qs(s.lowerLimit));
    upperLimit_->setText(Qs(s.upperLimit));
    unitLabels_[2]->setText(Qs(s.LimitUnit(s.lowerLimit)));
    unitLabels_[3]->setText(Qs(s.LimitUnit(s.upperLimit)));
}

void CBasicPropPage::OnTagEdited() {
    const QString typed = tag_->text().toUpper(); // the edit takes upper case only
    const std::u16string text(reinterpret_cast<const char16_t*>(typed.utf16()), size_t(typed.size()));
    const TagInput input = FilterTag(text);
    const QString kept = QString::fromUtf16(input.text.data(), qsizetype(input.text.size()));
    if (kept != tag_->text()) {
        const int caret = tag_->cursorPosition();
        tag_->setText(kept);
        tag_->setCursorPosition(std::min(caret, int(kept.size())));
    }
    if (m_pDoc) m_pDoc->Transmitter().SetTag(input.text);
    for (char16_t refused : input.refused) {
        Say(str::kInvalidCharacter, hart::MessageIcon::None, QString(QChar(refused)));
        tag_->setFocus();
    }
    if (input.cut) sensor_->setFocus();
}

bool CBasicPropPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == damping_ && UserLeftEdit(event)) {
        if (const int message = DampingLeaveCheck(Utf8Of(damping_->text()))) {
            Say(message);
            damping_->setFocus();
        }
    } else if (watched == tag_ && event->type() == QEvent::FocusOut && tag_->text().size() > 8) {
        tag_->setText(tag_->text().left(8));
    }
    return CPropPage::eventFilter(watched, event);
}

void CBasicPropPage::OnSend() {
    if (!logic_) return;
    if (const int message = logic_->SendCheck()) {
        Say(message, hart::MessageIcon::Stop);
        return;
    }
    emit commandRequested(kCmdSendBasic);
}

bool CBasicPropPage::RefreshFromDocument() {
    if (!m_pDoc || !logic_) return false;
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    QString tag = QString::fromStdString(Utf8(m.GetTag()));
    while (tag.endsWith(QLatin1Char(' ')))
        tag.chop(1);
    tag_->setText(tag);
    tag_->SetBackgroundColor(Background(m.GetFieldError(Field::Tag)));
    sensor_->SetHighlighted(m.GetFieldError(Field::SensorType));
    connection_->SetHighlighted(m.GetFieldError(Field::SensorConnection));
    units_->SetHighlighted(m.GetFieldError(Field::RangeUnits));
    lower_->SetBackgroundColor(Background(m.GetFieldError(Field::LowerRange)));
    upper_->SetBackgroundColor(Background(m.GetFieldError(Field::UpperRange)));
    damping_->SetBackgroundColor(Background(m.GetFieldError(Field::Damping)));
    lower_->setText(Qs(FormatNumber(m.GetLowerRange(), 2)));
    upper_->setText(Qs(FormatNumber(m.GetUpperRange(), 2)));
    damping_->setText(Qs(FormatNumber(m.GetDamping(), 1)));
    logic_->Refresh();
    ShowChoice();
    return AnyFlagged({Field::Tag, Field::SensorType, Field::SensorConnection, Field::RangeUnits,
                       Field::LowerRange, Field::UpperRange, Field::Damping});
}

void CBasicPropPage::EnableControls(bool enable) {
    send_->setEnabled(enable);
}

std::vector<ReportRow> CBasicPropPage::ReportRows() const {
    auto shown = [](const QLineEdit* edit, const QLabel* unit) {
        return ReportRow{0, Utf8Of(edit->text()), Utf8Of(unit->text())};
    };
    std::vector<ReportRow> rows = {
        {str::kLabelTag, Utf8Of(tag_->text()), {}},
        {str::kLabelSensorType, Utf8Of(sensor_->currentText()), {}},
        {str::kLabelConnection, Utf8Of(connection_->currentText()), {}},
        shown(lower_, unitLabels_[0]),
        shown(upper_, unitLabels_[1]),
        shown(lowerLimit_, unitLabels_[2]),
        shown(upperLimit_, unitLabels_[3]),
        {str::kLabelDamping, Utf8Of(damping_->text()), std::string(hart::LoadString(str::kSeconds))},
    };
    rows[3].labelId = str::kLabelLowerRange;
    rows[4].labelId = str::kLabelUpperRange;
    rows[5].labelId = str::kLabelLowerLimit;
    rows[6].labelId = str::kLabelUpperLimit;
    return rows;
}

} // namespace zelhart::ui
