// CInfoPropertyPage, tab "Информация" (template 107): the live values, the two fault lamps, the
// identification, and "Запустить мониторинг".
//
// For now the page shows the document's values read-only (ValueRows) and the lamps; monitoring comes
// with the page's own work (a poll on the link runner every 4 s, hint 6 while it runs).
#pragma once

#include "pages/prop_page.h"

class QPushButton;

namespace zelhart::ui {

class CTransparentImage;
class ValueRows;

class CInfoPropertyPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CInfoPropertyPage(QWidget* parent);
    bool RefreshFromDocument() override; // always false: this page never asks to be selected
    void EnableControls(bool enable) override; // the monitoring button only
    std::vector<ReportRow> ReportRows() const override;

    QPushButton* MonitorButton() const { return monitor_; }
    // The lamps' pictures as shown: red for a fault.
    bool SensorLampRed() const { return sensorRed_; }
    bool DeviceLampRed() const { return deviceRed_; }

  private:
    ValueRows* rows_;
    CTransparentImage* sensorLamp_;
    CTransparentImage* deviceLamp_;
    QPushButton* monitor_;
    bool sensorRed_ = false;
    bool deviceRed_ = false;
};

} // namespace zelhart::ui
