// The sensor calibration's two dialogs.
//
// CCalSettingsDialog (template 1301) shows the transmitter's units and sensor limits and lets the
// user trim the lower point only or both points. CCalMeasDialog (template 1303) shows what the
// transmitter measures now, read through a transmitter object of its own on the link thread when it
// opens and at every "Прочитать данные", so that the user can wait for a stable temperature. While
// a read runs its buttons are off and it cannot be closed.
#pragma once

#include "pages/prop_page.h"

#include "hart/transmitter.h"

#include <QDialog>

#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;

namespace zelhart::ui {

class CCalSettingsDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CCalSettingsDialog(QWidget* parent = nullptr);

    // Before it is shown.
    void Prepare(std::int32_t unitsCode, float upperLimit, float lowerLimit);
    void SetPointsChoice(int choice);
    // 0: the lower point only, 1: both points.
    int PointsChoice() const { return choice_; }

    QCheckBox* LowerOnly() const { return lowerOnly_; }
    QCheckBox* BothPoints() const { return both_; }

  private:
    QCheckBox* lowerOnly_;
    QCheckBox* both_;
    QLabel* units_[3];
    QLabel* upper_;
    QLabel* lower_;
    int choice_ = 0;
};

class CCalMeasDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CCalMeasDialog(const PageLink& link, QWidget* parent = nullptr);
    ~CCalMeasDialog() override;

    // Looks for the transmitter (asking to retry while it is not found) and reads what it measures.
    void ReadData();
    bool Reading() const { return reading_; }
    QLabel* Value() const { return value_; }
    QLabel* Unit() const { return unit_; }
    QPushButton* ReadButton() const { return read_; }

  public slots:
    void done(int result) override; // not while a read runs

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void Show(const hart::MeasuredValueReading& reading);
    void SetButtonsEnabled(bool enabled);

    PageLink link_;
    std::unique_ptr<hart::CTransmitter> transmitter_;
    QLabel* value_;
    QLabel* unit_;
    QPushButton* read_;
    QPushButton* ok_;
    QPushButton* cancel_;
    bool reading_ = false;
    bool shownOnce_ = false;
};

} // namespace zelhart::ui
