// CBasicPropPage, tab "Основное" (template 105): tag, sensor, units, the 4 mA and 20 mA points,
// sensor limits and damping, and "Отправить в устройство".
//
// For now the page shows the document's values read-only (ValueRows); its edits and lists come
// with the page's own work. The send button asks for command 32790, which sends the basic settings.
#pragma once

#include "pages/prop_page.h"

class QPushButton;

namespace zelhart::ui {

class ValueRows;

class CBasicPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CBasicPropPage(QWidget* parent);
    bool RefreshFromDocument() override;
    void EnableControls(bool enable) override; // the send button only
    std::vector<ReportRow> ReportRows() const override;

    QPushButton* SendButton() const { return send_; }

  private:
    ValueRows* rows_;
    QPushButton* send_;
};

} // namespace zelhart::ui
