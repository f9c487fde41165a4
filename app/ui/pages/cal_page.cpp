#include "pages/cal_page.h"

#include "cal_dialogs.h"
#include "controls.h"
#include "core/output_release.h"
#include "core/page_input.h"
#include "modal.h"
#include "qt_text.h"

#include "hart/sensor_limits.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

int RunOn(hart::CLrxDoc& doc, CalOp op) {
    switch (op) {
    case CalOp::EnterFixedVerbose:
        return doc.SetFixedCurrentMode(true, true);
    case CalOp::LeaveFixedVerbose:
        return doc.SetFixedCurrentMode(false, true);
    case CalOp::EnterFixedQuiet:
        return doc.SetFixedCurrentMode(true, false);
    case CalOp::LeaveFixedQuiet:
        return doc.SetFixedCurrentMode(false, false);
    case CalOp::StartLoop:
        return doc.StartLoopCalibration();
    case CalOp::Loop4mA:
        return int(doc.CalibrateLoop4mA());
    case CalOp::Loop20mA:
        return int(doc.CalibrateLoop20mA());
    case CalOp::FinishLoop:
        return doc.FinishLoopCalibration();
    case CalOp::LoadSensorLimits:
        return doc.LoadSensorLimits();
    case CalOp::TrimLower:
        return doc.TrimSensor(hart::kLowerPoint);
    case CalOp::TrimUpper:
        return doc.TrimSensor(hart::kUpperPoint);
    case CalOp::ResetTrim:
        return doc.ResetSensorTrim();
    case CalOp::ReleaseOutput:
        return ReleaseFixedOutput(doc);
    }
    return NotRunResult(op);
}

} // namespace

CCalPropPage::CCalPropPage(QWidget* parent) : CPropPage(1238, parent) {
    auto button = [this](int id, QWidget* parent) {
        auto* b = new QPushButton(Caption(id), parent);
        b->setObjectName(QStringLiteral("button%1").arg(id));
        return b;
    };
    auto edit = [](int id, int limit, QWidget* parent) {
        auto* e = new CMyColorEdit(parent);
        e->setObjectName(QStringLiteral("edit%1").arg(id));
        e->setMaxLength(limit);
        return e;
    };
    auto* sensor = new QGroupBox(Caption(1245), this);
    sensorStart_ = button(1266, sensor);
    units_ = new CColorComboBox(sensor);
    units_->setObjectName("combo1257");
    for (int i = 0; i < 6; ++i)
        units_->addItem(Text(str::kFirstUnitText + i));
    lower_ = edit(1253, 8, sensor);
    upper_ = edit(1261, 8, sensor);
    unitLabels_[0] = new QLabel(sensor);
    unitLabels_[0]->setObjectName("label1254");
    unitLabels_[1] = new QLabel(sensor);
    unitLabels_[1]->setObjectName("label1262");
    trimLower_ = button(1256, sensor);
    trimUpper_ = button(1263, sensor);
    resetTrim_ = button(1265, sensor);
    auto* s = CompactGrid(sensor);
    s->addWidget(sensorStart_, 0, 0, 1, 4, Qt::AlignLeft);
    s->addWidget(NewLabel(1264, sensor), 1, 0, 1, 2);
    s->addWidget(units_, 1, 2, 1, 2);
    s->addWidget(NewLabel(130, sensor), 2, 0);
    s->addWidget(lower_, 2, 1);
    s->addWidget(unitLabels_[0], 2, 2);
    s->addWidget(trimLower_, 2, 3);
    s->addWidget(NewLabel(134, sensor), 3, 0);
    s->addWidget(upper_, 3, 1);
    s->addWidget(unitLabels_[1], 3, 2);
    s->addWidget(trimUpper_, 3, 3);
    s->addWidget(resetTrim_, 4, 0, 1, 4, Qt::AlignLeft);
    s->setColumnStretch(4, 1);
    lower_->setMaximumWidth(70);
    upper_->setMaximumWidth(70);

    auto* loop = new QGroupBox(Caption(115), this);
    loopStart_ = button(1250, loop);
    loop4_ = edit(1251, 5, loop);
    loop20_ = edit(1259, 5, loop);
    set4_ = button(1247, loop);
    set20_ = button(1258, loop);
    auto* l = CompactGrid(loop);
    l->addWidget(loopStart_, 0, 0, 1, 4, Qt::AlignLeft);
    l->addWidget(NewLabel(133, loop), 1, 0, 1, 4);
    l->addWidget(loop4_, 2, 0);
    l->addWidget(NewLabel(1252, loop), 2, 1);
    l->addWidget(set4_, 2, 2);
    l->addWidget(NewLabel(131, loop), 3, 0, 1, 4);
    l->addWidget(loop20_, 4, 0);
    l->addWidget(NewLabel(1260, loop), 4, 1);
    l->addWidget(set20_, 4, 2);
    l->setColumnStretch(3, 1);

    auto* dac = new QGroupBox(Caption(116), this);
    fixed_ = edit(1246, 5, dac);
    fixedSet_ = button(1255, dac);
    fixedReset_ = button(1248, dac);
    auto* d = CompactGrid(dac);
    d->addWidget(NewLabel(132, dac), 0, 0);
    d->addWidget(fixed_, 0, 1);
    d->addWidget(NewLabel(1249, dac), 0, 2);
    d->addWidget(fixedSet_, 1, 0, 1, 2);
    d->addWidget(fixedReset_, 1, 2, 1, 2);

    for (CMyColorEdit* e : {loop4_, loop20_, fixed_})
        e->setMaximumWidth(48);
    auto* right = new QVBoxLayout;
    right->addWidget(loop);
    right->addWidget(dac);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(sensor, 1);
    layout->addLayout(right, 0);
    actions_ = {sensorStart_, resetTrim_, loopStart_, fixed_, fixedSet_, fixedReset_};

    // Tool tips 1312-1325 and 1329.
    QWidget* const tipped[] = {units_, lower_,  upper_, trimLower_, trimUpper_, resetTrim_, loopStart_,
                               loop4_, loop20_, set4_,  set20_,     fixed_,     fixedSet_,  fixedReset_};
    for (int i = 0; i < int(std::size(tipped)); ++i)
        tipped[i]->setToolTip(NarrowToolTip(Text(str::kTipCalUnits + i)));
    sensorStart_->setToolTip(NarrowToolTip(Text(str::kTipSensorCalibration)));

    const std::pair<QPushButton*, CalButton> presses[] = {
        {sensorStart_, CalButton::SensorStart}, {trimLower_, CalButton::TrimLower},
        {trimUpper_, CalButton::TrimUpper},     {resetTrim_, CalButton::ResetTrim},
        {loopStart_, CalButton::LoopStart},     {set4_, CalButton::Set4mA},
        {set20_, CalButton::Set20mA},           {fixedSet_, CalButton::FixedSet},
        {fixedReset_, CalButton::FixedReset}};
    for (const auto& [b, which] : presses)
        connect(b, &QPushButton::clicked, this, [this, which = which] { Press(which); });

    // The edits store their values at once: the points with a sign, the currents without.
    const std::pair<CMyColorEdit*, void (CTransmitterModel::*)(float)> stores[] = {
        {lower_, &CTransmitterModel::SetTrimLower},
        {upper_, &CTransmitterModel::SetTrimUpper},
        {loop4_, &CTransmitterModel::SetLoop4mAMeasured},
        {loop20_, &CTransmitterModel::SetLoop20mAMeasured},
        {fixed_, &CTransmitterModel::SetFixedCurrent}};
    for (const auto& [e, store] : stores) {
        const bool sign = e == lower_ || e == upper_;
        connect(e, &QLineEdit::textEdited, this, [this, e = e, store = store, sign] {
            const float value = FilterNumberEdit(e, sign);
            if (m_pDoc) (m_pDoc->Transmitter().*store)(value);
        });
    }
    connect(units_, &QComboBox::activated, this, [this](int index) {
        for (QLabel* label : unitLabels_)
            label->setText(Text(str::kFirstUnitText + index));
        if (m_pDoc) m_pDoc->Transmitter().SetCalUnits(kUnitsCelsius + index);
    });
    loop4_->installEventFilter(this);
    loop20_->installEventFilter(this);
    // Enter in a measured-current edit is its "Установить".
    for (auto [e, b] : {std::pair{loop4_, set4_}, std::pair{loop20_, set20_}})
        connect(e, &QLineEdit::returnPressed, this, [b = b] {
            if (b->isEnabled()) b->click();
        });
}

void CCalPropPage::SetDocument(hart::CLrxDoc* doc) {
    CPropPage::SetDocument(doc);
    procedures_ = doc ? std::make_unique<CalProcedures>(
                            doc->Transmitter(), [doc] { return OutputMayBeFixed(doc->Transmitter()); })
                      : nullptr;
    if (procedures_) Perform(procedures_->Start());
}

QPushButton* CCalPropPage::Button(int id) const {
    return findChild<QPushButton*>(QStringLiteral("button%1").arg(id));
}

CMyColorEdit* CCalPropPage::Edit(int id) const {
    return findChild<CMyColorEdit*>(QStringLiteral("edit%1").arg(id));
}

bool CCalPropPage::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == loop4_ || watched == loop20_) && UserLeftEdit(event)) {
        auto* e = static_cast<CMyColorEdit*>(watched);
        // Going to the point's own "Установить" is no leaving: the press uses the value (and says
        // what leaving would have said). Nor is the edit's being disabled (its step ended, or an
        // operation holds the window).
        QPushButton* const own = e == loop4_ ? set4_ : set20_;
        if (QApplication::focusWidget() == own || !e->isEnabled()) return CPropPage::eventFilter(watched, event);
        const LeaveCheck check = LoopCurrentLeaveCheck(e == loop20_, NumberFromText(Utf8Of(e->text())));
        if (check.messageId) {
            Say(check.messageId);
            if (check.refocus) e->setFocus();
        }
    }
    return CPropPage::eventFilter(watched, event);
}

void CCalPropPage::Press(CalButton button) {
    if (procedures_) Perform(procedures_->Press(button));
}

void CCalPropPage::Perform(std::vector<CalAction> actions) {
    for (const CalAction& a : actions) {
        switch (a.kind) {
        case CalAction::Kind::Message:
            Say(a.value, a.icon);
            break;
        case CalAction::Kind::Ask: {
            const hart::UserAnswer answer = modal::Ask(a.value, Text(a.value), a.buttons, a.icon);
            UpdateEnables();
            Perform(procedures_->Reply(int(answer)));
            return;
        }
        case CalAction::Kind::Run:
            RunOperation(a.op);
            return;
        case CalAction::Kind::Dialog:
            ShowDialog(a.dialog);
            return;
        case CalAction::Kind::ClearEdit: {
            CMyColorEdit* const edits[] = {lower_, upper_, loop4_, loop20_, fixed_};
            edits[int(a.edit)]->clear();
            break;
        }
        case CalAction::Kind::SelectUnits:
            units_->setCurrentIndex(a.value);
            for (QLabel* label : unitLabels_)
                label->setText(Text(str::kFirstUnitText + a.value));
            break;
        case CalAction::Kind::Hint:
            if (m_pDoc) m_pDoc->UpdateAllViews(a.value);
            break;
        }
    }
    UpdateEnables();
}

void CCalPropPage::RunOperation(CalOp op) {
    auto result = std::make_shared<int>(NotRunResult(op));
    UpdateEnables();
    hart::CLrxDoc* doc = m_pDoc;
    auto done = [self = QPointer<CCalPropPage>(this), result] {
        if (self && self->procedures_) self->Perform(self->procedures_->Reply(*result));
    };
    if (!doc || !link_.start || !link_.start([doc, op, result] { *result = RunOn(*doc, op); }, done, true))
        Perform(procedures_->Reply(*result));
}

void CCalPropPage::ShowDialog(CalDialog dialog) {
    UpdateEnables();
    if (dialog == CalDialog::Settings) {
        const hart::CTransmitter& m = m_pDoc->Transmitter();
        CCalSettingsDialog settings(this);
        settings.Prepare(m.GetLimitUnits(), m.GetUpperSensorLimit(), m.GetLowerSensorLimit());
        settings.SetPointsChoice(m.GetCalPoints());
        const bool accepted = modal::Exec(settings) == QDialog::Accepted;
        Perform(procedures_->Reply(accepted ? 1 : 0, settings.PointsChoice()));
        return;
    }
    bool accepted = false;
    {
        CCalMeasDialog measurement(link_, this);
        accepted = modal::Exec(measurement) == QDialog::Accepted;
    }
    Perform(procedures_->Reply(accepted ? 1 : 0));
}

void CCalPropPage::UpdateEnables() {
    if (!procedures_) return;
    const CalEnables e = procedures_->Enables(viewEnabled_);
    const std::pair<QWidget*, bool> states[] = {{sensorStart_, e.sensorStart},
                                                {resetTrim_, e.resetTrim},
                                                {units_, e.units},
                                                {lower_, e.lowerEdit},
                                                {trimLower_, e.trimLower},
                                                {upper_, e.upperEdit},
                                                {trimUpper_, e.trimUpper},
                                                {loopStart_, e.loopStart},
                                                {loop4_, e.edit4mA},
                                                {set4_, e.set4mA},
                                                {loop20_, e.edit20mA},
                                                {set20_, e.set20mA},
                                                {fixed_, e.fixedEdit},
                                                {fixedSet_, e.fixedSet},
                                                {fixedReset_, e.fixedReset}};
    for (const auto& [w, on] : states)
        w->setEnabled(on);
}

bool CCalPropPage::RefreshFromDocument() {
    return false;
}

void CCalPropPage::EnableControls(bool enable) {
    viewEnabled_ = enable;
    UpdateEnables();
}

} // namespace zelhart::ui
