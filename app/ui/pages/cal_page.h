// CCalPropPage, tab "Калибровка" (template 1238): sensor calibration, loop calibration and the
// fixed-current check ("Проверка ЦАП").
//
// The procedures are CalProcedures (core/cal_procedures.h); this page carries out what it asks:
// messages and questions here, the document's calibration operations on the link thread (the window
// is held meanwhile, the 36 s and 7 s waits show the progress window), the two dialogs of the sensor
// calibration. A step other than idle disables the tabs and the load button (hint 6).
#pragma once

#include "pages/prop_page.h"

#include "core/cal_procedures.h"

#include <QList>

class QLabel;
class QPushButton;

namespace zelhart::ui {

class CColorComboBox;
class CMyColorEdit;

class CCalPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CCalPropPage(QWidget* parent);
    void SetDocument(hart::CLrxDoc* doc) override;
    bool RefreshFromDocument() override; // always false
    void EnableControls(bool enable) override;

    // The controls the view's enable switches (idle): both "Начать калибровку", "Сброс калибровки",
    // the fixed-current edit, "Установить" and "Сброс".
    QList<QWidget*> ActionControls() const { return actions_; }
    const CalProcedures* Procedures() const { return procedures_.get(); }
    // A button of the page by its control id (tests, screenshots).
    QPushButton* Button(int controlId) const;
    CMyColorEdit* Edit(int controlId) const;
    CColorComboBox* Units() const { return units_; }
    QLabel* UnitLabel(int index) const { return unitLabels_[index]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Press(CalButton button);
    // Carries out `actions` in order; the one that waits gets its reply, and so on.
    void Perform(std::vector<CalAction> actions);
    void RunOperation(CalOp op);
    void ShowDialog(CalDialog dialog);
    void UpdateEnables();

    std::unique_ptr<CalProcedures> procedures_;
    bool viewEnabled_ = true;
    CColorComboBox* units_;
    QLabel* unitLabels_[2];
    CMyColorEdit* lower_;
    CMyColorEdit* upper_;
    CMyColorEdit* loop4_;
    CMyColorEdit* loop20_;
    CMyColorEdit* fixed_;
    QPushButton* sensorStart_;
    QPushButton* trimLower_;
    QPushButton* trimUpper_;
    QPushButton* resetTrim_;
    QPushButton* loopStart_;
    QPushButton* set4_;
    QPushButton* set20_;
    QPushButton* fixedSet_;
    QPushButton* fixedReset_;
    QList<QWidget*> actions_;
};

} // namespace zelhart::ui
