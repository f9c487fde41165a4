// CCalPropPage, tab "Калибровка" (template 1238): sensor calibration, loop calibration and the
// fixed-current check.
//
// For now the page holds only the controls the view enables and disables (both "Начать калибровку",
// "Сброс калибровки", the fixed-current edit with "Установить" and "Сброс"); the procedures come
// with the page's own work.
#pragma once

#include "pages/prop_page.h"

#include <QList>

class QLineEdit;
class QPushButton;

namespace zelhart::ui {

class CCalPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CCalPropPage(QWidget* parent);
    bool RefreshFromDocument() override; // always false
    void EnableControls(bool enable) override;

    // The controls EnableControls switches.
    QList<QWidget*> ActionControls() const { return actions_; }

  private:
    QList<QWidget*> actions_;
};

} // namespace zelhart::ui
