// CProgressDialog: the window the program waits in while the transmitter settles after a sensor
// trim (36 ticks of a second) or a reset (7 ticks). A bar and a text, no caption; it closes itself
// and cannot be closed earlier.
#pragma once

#include "hart/progress_wait.h"

#include <QDialog>

#include <chrono>

class QLabel;
class QProgressBar;

namespace zelhart::ui {

class CProgressDialog : public QDialog {
    Q_OBJECT
  public:

    // `tick`: the timer period (1 s; tests go faster).
    explicit CProgressDialog(std::chrono::milliseconds tick = hart::kProgressTick, QWidget* parent = nullptr);

    // Before it is shown: reset (bar 0..6) or calibration (bar 0..35).
    void SetMode(hart::ProgressWaitMode mode);

    // Initialisation: position 0, the mode's range and text, counter 0, the timer started. Runs
    // when the dialog is shown.
    void Start();
    // One timer tick: at the range's end the dialog closes; otherwise the bar moves one step.
    void Tick();

    int Ticks() const { return ticks_; }
    bool Closed() const { return closed_; }
    QProgressBar* Bar() const { return bar_; }
    QLabel* Label() const { return label_; }

  public slots:
    void reject() override {} // Esc and the window's close button do nothing

  protected:
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    std::chrono::milliseconds tick_;
    hart::ProgressWaitMode mode_ = hart::ProgressWaitMode::Reset;
    QProgressBar* bar_;
    QLabel* label_;
    int timer_ = 0;
    int counter_ = 0;
    int ticks_ = 0;
    bool started_ = false;
    bool closed_ = false;
};

} // namespace zelhart::ui
