// CAdvancedPropPage, tab "Дополнительное" (template 106): alarm type and levels, saturation levels,
// mains filter, write protection, and "Отправить в устройство".
//
// For now the page shows the document's values read-only (ValueRows); its lists come with the
// page's own work. The send button asks for command 32791, which sends the advanced settings.
#pragma once

#include "pages/prop_page.h"

class QPushButton;

namespace zelhart::ui {

class ValueRows;

class CAdvancedPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CAdvancedPropPage(QWidget* parent);
    bool RefreshFromDocument() override;
    void EnableControls(bool enable) override; // the send button only
    std::vector<ReportRow> ReportRows() const override;

    QPushButton* SendButton() const { return send_; }

  private:
    ValueRows* rows_;
    QPushButton* send_;
};

} // namespace zelhart::ui
