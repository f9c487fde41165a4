#include "pages/info_page.h"

#include "controls.h"
#include "core/commands.h"
#include "modal.h"
#include "pages/monitor_chart.h"
#include "qt_text.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>

#include <memory>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

CMyColorEdit* ReadOnlyEdit(QWidget* parent, int id) {
    auto* edit = new CMyColorEdit(parent);
    edit->setObjectName(QStringLiteral("edit%1").arg(id));
    edit->setReadOnly(true);
    return edit;
}

bool IsEnter(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

CInfoPropertyPage::CInfoPropertyPage(QWidget* parent)
    : CPropPage(107, parent), sensorLamp_(new CTransparentImage(this)),
      deviceLamp_(new CTransparentImage(this)), monitor_(new QPushButton(Caption(194), this)),
      csv_(new QPushButton(Text(str::kSaveCsv), this)), chart_(new CMonitorChart(this)) {
    monitor_->setObjectName("button194");
    csv_->setObjectName("buttonCsv");
    sensorLamp_->setObjectName("lamp168");
    deviceLamp_->setObjectName("lamp171");
    sensorLamp_->SetBitmap(LampBitmap(Lamp::Grey));
    deviceLamp_->SetBitmap(LampBitmap(Lamp::Grey));

    auto* status = new QGroupBox(Caption(117), this);
    auto* grid = CompactGrid(status);
    grid->setVerticalSpacing(2);
    const int labels[3] = {158, 161, 164}, edits[3] = {159, 162, 165}, units[3] = {160, 163, 166};
    for (int i = 0; i < 3; ++i) {
        QLabel* label = NewLabel(labels[i], status);
        label->setText(label->text().simplified()); // "Измеряемая \nвеличина" on one line
        values_[i] = ReadOnlyEdit(status, edits[i]);
        values_[i]->setFixedWidth(70);
        units_[i] = i == 1 ? NewLabel(163, status) : new QLabel(status);
        units_[i]->setObjectName(QStringLiteral("label%1").arg(units[i]));
        units_[i]->setMinimumWidth(24);
        grid->addWidget(label, i, 0);
        grid->addWidget(values_[i], i, 1);
        grid->addWidget(units_[i], i, 2);
    }
    grid->addWidget(NewLabel(170, status), 3, 0, 1, 2);
    grid->addWidget(sensorLamp_, 3, 2, Qt::AlignLeft);
    grid->addWidget(NewLabel(167, status), 4, 0, 1, 2);
    grid->addWidget(deviceLamp_, 4, 2, Qt::AlignLeft);

    auto* identification = new QGroupBox(Caption(118), this);
    auto* id = CompactGrid(identification);
    id->setVerticalSpacing(0); // each label sits on its value
    const int idLabels[4] = {173, 175, 177, 179}, idEdits[4] = {174, 176, 178, 180};
    // Each label above its value, two pairs a row.
    for (int i = 0; i < 4; ++i) {
        identity_[i] = ReadOnlyEdit(identification, idEdits[i]);
        identity_[i]->setFixedWidth(i == 3 ? 80 : 64);
        id->addWidget(NewLabel(idLabels[i], identification), (i / 2) * 2, i % 2);
        id->addWidget(identity_[i], (i / 2) * 2 + 1, i % 2, Qt::AlignLeft);
    }

    auto* leftBox = new QWidget(this); // as wide as its texts need; the chart takes the rest
    leftBox->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    auto* left = new QVBoxLayout(leftBox);
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(0); // the room the lamps need whole
    left->addWidget(status);
    left->addWidget(identification);
    auto* right = new QVBoxLayout;
    right->addWidget(chart_, 1);
    chart_->setMinimumSize(160, 120);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(monitor_);
    buttons->addStretch();
    buttons->addWidget(csv_);
    right->addLayout(buttons);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->addWidget(leftBox);
    layout->addLayout(right, 1);

    // Tool tips 1226-1236 and 1245.
    values_[0]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue)));
    units_[0]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 1)));
    values_[1]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 2)));
    values_[2]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 3)));
    units_[2]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 4)));
    sensorLamp_->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 5)));
    deviceLamp_->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 6)));
    for (int i = 0; i < 3; ++i)
        identity_[i]->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 7 + i)));
    identity_[3]->setToolTip(NarrowToolTip(Text(str::kTipDate)));
    monitor_->setToolTip(NarrowToolTip(Text(str::kTipMeasuredValue + 10)));
    csv_->setToolTip(NarrowToolTip(Text(str::kTipSaveCsv)));

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &CInfoPropertyPage::Poll);
    connect(monitor_, &QPushButton::clicked, this, &CInfoPropertyPage::OnMonitorButton);
    connect(csv_, &QPushButton::clicked, this, &CInfoPropertyPage::OnSaveCsv);
    // Enter presses the focused button as Space does.
    installEventFilter(this);
    monitor_->installEventFilter(this);
    csv_->installEventFilter(this);
}

CInfoPropertyPage::~CInfoPropertyPage() {
    if (monitoring_) StopMonitoring();
}

bool CInfoPropertyPage::eventFilter(QObject* watched, QEvent* event) {
    if (IsEnter(event)) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        QKeyEvent space(event->type(), Qt::Key_Space, key->modifiers(), QStringLiteral(" "),
                        key->isAutoRepeat());
        QApplication::sendEvent(watched, &space);
        return true;
    }
    return CPropPage::eventFilter(watched, event);
}

void CInfoPropertyPage::OnMonitorButton() {
    if (monitoring_) {
        StopMonitoring();
        return;
    }
    if (!m_pDoc || !link_.start) return;
    // The connection check asks to retry while the transmitter is not found.
    auto found = std::make_shared<int>(0);
    hart::CLrxDoc* doc = m_pDoc;
    link_.start([doc, found] { *found = doc->CheckConnection(false); },
                [self = QPointer<CInfoPropertyPage>(this), found] {
                    if (self && *found && !self->monitoring_) self->StartMonitoring();
                },
                true);
}

void CInfoPropertyPage::StartMonitoring() {
    monitor_->setText(Text(str::kStopMonitoring));
    monitoring_ = true;
    m_pDoc->SetMonitoring(true);
    m_pDoc->UpdateAllViews(hart::kHintProcedureStarted);
    log_.Clear();
    chart_->Show(log_, std::chrono::system_clock::now());
    timer_.start(period_);
}

void CInfoPropertyPage::StopMonitoring() {
    monitor_->setText(Caption(194));
    monitoring_ = false;
    timer_.stop();
    if (m_pDoc) {
        m_pDoc->SetMonitoring(false);
        m_pDoc->UpdateAllViews(hart::kHintProcedureEnded);
    }
    if (polling_) {
        // Not waited for: a transmitter that stopped answering would hold the window for seconds.
        monitor_->setEnabled(false);
        if (link_.abort) link_.abort();
    }
}

void CInfoPropertyPage::Poll() {
    if (!monitoring_ || !m_pDoc) return;
    hart::CLrxDoc* doc = m_pDoc;
    auto answered = std::make_shared<bool>(false);
    const bool started = link_.start([doc, answered] { *answered = doc->RefreshMonitor() != 0; },
                                     [self = QPointer<CInfoPropertyPage>(this), answered] {
                                         if (self) self->OnPolled(*answered);
                                     },
                                     false);
    if (started)
        polling_ = true;
    else
        timer_.start(period_); // the link is busy: try again later
}

void CInfoPropertyPage::OnPolled(bool answered) {
    polling_ = false;
    if (!monitoring_) {
        monitor_->setEnabled(enabled_);
        return;
    }
    // Only a poll that succeeded is a measurement; the model still holds the last good values.
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    if (answered)
        log_.Add({std::chrono::system_clock::now(), m.GetMeasuredValue(), m.GetMeasuredUnits(), m.GetLoopCurrent()});
    else
        log_.AddOutage(std::chrono::system_clock::now());
    chart_->Show(log_, std::chrono::system_clock::now());
    emit commandRequested(kCmdRefresh);
    if (monitoring_) timer_.start(period_);
}

void CInfoPropertyPage::ClearChart() {
    if (monitoring_) return;
    log_.Clear();
    chart_->Show(log_, std::chrono::system_clock::now());
}

void CInfoPropertyPage::OnSaveCsv() {
    if (log_.Samples().empty()) {
        Say(str::kChartNoSamples, hart::MessageIcon::Information);
        return;
    }
    const QString path =
        modal::SaveFileName(window(), QStringLiteral("monitoring.csv"), Text(str::kCsvFilter));
    if (path.isEmpty()) return;
    QSaveFile file(path);
    const std::string csv = log_.Csv();
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), qint64(csv.size())) != qint64(csv.size()) || !file.commit()) {
        modal::Message(str::kCsvSaveFailed,
                       Text(str::kCsvSaveFailed).arg(path + QStringLiteral(": ") + file.errorString()),
                       hart::MessageIcon::Stop, window());
    }
}

bool CInfoPropertyPage::RefreshFromDocument() {
    if (!m_pDoc) return false;
    const std::vector<ReportRow> rows = ReportFromModel(m_pDoc->Transmitter()).sections[2];
    // Rows: measured value, loop current, device temperature, the two lamps, the identification.
    for (int i = 0; i < 3; ++i) {
        values_[i]->setText(Qs(rows[size_t(i)].value));
        if (i != 1) units_[i]->setText(Qs(rows[size_t(i)].unit));
    }
    for (int i = 0; i < 4; ++i)
        identity_[i]->setText(Qs(rows[size_t(5 + i)].value));
    const hart::CTransmitter& m = m_pDoc->Transmitter();
    sensorRed_ = m.GetSensorFault() != 0;
    deviceRed_ = m.GetDeviceFault() != 0;
    sensorLamp_->SetBitmap(LampBitmap(sensorRed_ ? Lamp::Red : Lamp::Grey));
    deviceLamp_->SetBitmap(LampBitmap(deviceRed_ ? Lamp::Red : Lamp::Grey));
    return false;
}

void CInfoPropertyPage::EnableControls(bool enable) {
    enabled_ = enable;
    monitor_->setEnabled(enable && (monitoring_ || !polling_));
}

std::vector<ReportRow> CInfoPropertyPage::ReportRows() const {
    std::vector<ReportRow> rows =
        m_pDoc ? ReportFromModel(m_pDoc->Transmitter()).sections[2] : std::vector<ReportRow>{};
    if (rows.size() != 9) return rows;
    // The values as this page's controls show them.
    for (int i = 0; i < 3; ++i) {
        rows[size_t(i)].value = Utf8Of(values_[i]->text());
        rows[size_t(i)].unit = Utf8Of(units_[i]->text());
    }
    for (int i = 0; i < 4; ++i)
        rows[size_t(5 + i)].value = Utf8Of(identity_[i]->text());
    return rows;
}

} // namespace zelhart::ui
