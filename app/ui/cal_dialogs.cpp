#include "cal_dialogs.h"

#include "core/page_lists.h"
#include "qt_text.h"

#include "hart/sensor_limits.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

QString Caption(int templateId, int control) {
    return Text(str::TemplateText(templateId, control));
}

QLabel* NewLabel(const QString& text, QWidget* parent, int id) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("label%1").arg(id));
    return label;
}

QPushButton* NewButton(int templateId, int id, QWidget* parent) {
    auto* button = new QPushButton(Caption(templateId, id), parent);
    button->setObjectName(QStringLiteral("button%1").arg(id));
    return button;
}

} // namespace

// --- CCalSettingsDialog

CCalSettingsDialog::CCalSettingsDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint) { // no title bar: the template has no caption
    setObjectName("CCalSettingsDialog");
    auto* current = new QGroupBox(Caption(1301, 1277), this);
    auto* grid = new QGridLayout(current);
    units_[0] = NewLabel({}, current, 159);
    upper_ = NewLabel({}, current, 161);
    units_[1] = NewLabel({}, current, 162);
    lower_ = NewLabel({}, current, 164);
    units_[2] = NewLabel({}, current, 165);
    grid->addWidget(NewLabel(Caption(1301, 1278), current, 1278), 0, 0);
    grid->addWidget(units_[0], 0, 1);
    grid->addWidget(NewLabel(Caption(1301, 160), current, 160), 1, 0);
    grid->addWidget(upper_, 1, 1);
    grid->addWidget(units_[1], 1, 2);
    grid->addWidget(NewLabel(Caption(1301, 163), current, 163), 2, 0);
    grid->addWidget(lower_, 2, 1);
    grid->addWidget(units_[2], 2, 2);
    grid->setColumnStretch(3, 1);

    auto* kind = new QGroupBox(Caption(1301, 1276), this);
    lowerOnly_ = new QCheckBox(Caption(1301, 1272), kind);
    lowerOnly_->setObjectName("check1272");
    both_ = new QCheckBox(Caption(1301, 1273), kind);
    both_->setObjectName("check1273");
    auto* boxes = new QVBoxLayout(kind);
    boxes->addWidget(lowerOnly_);
    boxes->addWidget(both_);

    auto* ok = NewButton(1301, 1, this);
    auto* cancel = NewButton(1301, 2, this);
    ok->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(current);
    layout->addWidget(kind);
    layout->addLayout(buttons);

    // The two boxes are one pair of alternatives: unchecking one checks the other.
    connect(lowerOnly_, &QCheckBox::clicked, this, [this](bool checked) {
        both_->setChecked(!checked);
        choice_ = checked ? 0 : 1;
    });
    connect(both_, &QCheckBox::clicked, this, [this](bool checked) {
        lowerOnly_->setChecked(!checked);
        choice_ = checked ? 1 : 0;
    });
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    Prepare(kUnitsNotSet, NotANumber, NotANumber);
    SetPointsChoice(0);
}

void CCalSettingsDialog::Prepare(std::int32_t unitsCode, float upperLimit, float lowerLimit) {
    for (QLabel* label : units_)
        label->setText(Qs(UnitText(unitsCode)));
    upper_->setText(Qs(FormatNumber(upperLimit, 2)));
    lower_->setText(Qs(FormatNumber(lowerLimit, 2)));
}

void CCalSettingsDialog::SetPointsChoice(int choice) {
    choice_ = choice;
    lowerOnly_->setChecked(choice == 0);
    both_->setChecked(choice != 0);
}

// --- CCalMeasDialog

CCalMeasDialog::CCalMeasDialog(const PageLink& link, QWidget* parent)
    : QDialog(parent), link_(link), transmitter_(link.newTransmitter ? link.newTransmitter() : nullptr) {
    setObjectName("CCalMeasDialog");
    setWindowTitle(Text(str::kApplicationTitle));
    auto* warning = NewLabel(Caption(1303, 1279), this, 1279);
    warning->setWordWrap(true);
    value_ = NewLabel({}, this, 159);
    unit_ = NewLabel({}, this, 160);
    value_->setMinimumWidth(60);
    read_ = NewButton(1303, 1342, this);
    auto* row = new QHBoxLayout;
    row->addWidget(NewLabel(Caption(1303, 1280), this, 1280));
    row->addWidget(value_);
    row->addWidget(unit_);
    row->addStretch();
    row->addWidget(read_);
    auto* help1 = NewLabel(Caption(1303, 1267), this, 1267);
    auto* help2 = NewLabel(Caption(1303, 1268), this, 1268);
    help1->setWordWrap(true);
    help2->setWordWrap(true);
    ok_ = NewButton(1303, 1, this);
    cancel_ = NewButton(1303, 2, this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(warning);
    layout->addLayout(row);
    layout->addWidget(help1);
    layout->addWidget(help2);
    layout->addLayout(buttons);
    setMinimumWidth(420);

    connect(read_, &QPushButton::clicked, this, &CCalMeasDialog::ReadData);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

CCalMeasDialog::~CCalMeasDialog() {
    // A read still on the link thread keeps the transmitter until it has returned.
    if (reading_ && link_.waitUntilIdle) link_.waitUntilIdle();
}

void CCalMeasDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        QMetaObject::invokeMethod(this, &CCalMeasDialog::ReadData, Qt::QueuedConnection);
    }
}

void CCalMeasDialog::done(int result) {
    if (reading_) return;
    QDialog::done(result);
}

void CCalMeasDialog::SetButtonsEnabled(bool enabled) {
    for (QPushButton* b : {read_, ok_, cancel_})
        b->setEnabled(enabled);
}

void CCalMeasDialog::ReadData() {
    if (reading_ || !transmitter_ || !link_.start) return;
    hart::CTransmitter* t = transmitter_.get();
    auto reading = std::make_shared<hart::MeasuredValueReading>();
    auto found = std::make_shared<bool>(false);
    reading_ = true;
    SetButtonsEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool started = link_.start(
        [t, reading, found] {
            while (!t->FindDevice()) {
                if (hart::AskString(t->UserInterface(), str::kSensorNotFound,
                                    hart::MessageButtons::RetryCancel, hart::MessageIcon::Stop,
                                    t->NoAnswerCause()) != hart::UserAnswer::Retry)
                    return;
            }
            *found = true;
            *reading = t->ReadMeasuredValue();
        },
        [self = QPointer<CCalMeasDialog>(this), reading, found] {
            QApplication::restoreOverrideCursor();
            if (!self) return;
            self->reading_ = false;
            self->SetButtonsEnabled(true);
            if (*found) self->Show(*reading);
        },
        true);
    if (!started) {
        QApplication::restoreOverrideCursor();
        reading_ = false;
        SetButtonsEnabled(true);
    }
}

void CCalMeasDialog::Show(const hart::MeasuredValueReading& reading) {
    unit_->setText(Qs(UnitText(reading.units)));
    value_->setText(Qs(FormatNumber(reading.value, 2)));
}

} // namespace zelhart::ui
