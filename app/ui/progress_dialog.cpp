#include "progress_dialog.h"

#include "qt_text.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace zelhart::ui {

CProgressDialog::CProgressDialog(std::chrono::milliseconds tick, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint), tick_(tick), bar_(new QProgressBar(this)),
      label_(new QLabel(this)) {
    setObjectName("CProgressDialog");
    bar_->setObjectName("progress1267");
    bar_->setTextVisible(false);
    label_->setObjectName("text1266");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar_);
    layout->addWidget(label_);
    setMinimumWidth(320);
}

void CProgressDialog::SetMode(hart::ProgressWaitMode mode) {
    mode_ = mode;
}

void CProgressDialog::Start() {
    if (started_) return;
    started_ = true;
    const hart::ProgressWaitPlan plan = hart::PlanOf(mode_);
    bar_->setRange(0, plan.lastPosition);
    bar_->setValue(0);
    label_->setText(Text(plan.textId));
    counter_ = 0;
    timer_ = startTimer(tick_);
}

void CProgressDialog::Tick() {
    ++ticks_;
    if (counter_ == bar_->maximum()) {
        counter_ = 0;
        if (timer_) killTimer(timer_);
        timer_ = 0;
        closed_ = true;
        accept();
        return;
    }
    ++counter_;
    bar_->setValue(counter_);
}

void CProgressDialog::showEvent(QShowEvent* event) {
    Start();
    QDialog::showEvent(event);
}

void CProgressDialog::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timer_) Tick();
}

void CProgressDialog::closeEvent(QCloseEvent* event) {
    if (!closed_) event->ignore();
}

} // namespace zelhart::ui
