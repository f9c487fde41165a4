// CAdvancedPropPage, tab "Дополнительное" (template 106): alarm type, the alarm and saturation
// levels (editable lists with presets), mains filter, write protection, and "Отправить в
// устройство".
//
// Every choice goes into the document's model at once. The send button checks the four levels in
// order (core/settings_pages.h), then asks for command 32791 (the document sends the advanced
// settings).
#pragma once

#include "pages/prop_page.h"

class QPushButton;

namespace zelhart::ui {

class CColorComboBox;

class CAdvancedPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CAdvancedPropPage(QWidget* parent);
    bool RefreshFromDocument() override;
    void EnableControls(bool enable) override; // the send button only
    std::vector<ReportRow> ReportRows() const override;

    QPushButton* SendButton() const { return send_; }

  private:
    // The level lists, in the order low alarm, high alarm, low saturation, high saturation.
    static constexpr int kLevels = 4;
    void StoreLevel(int level, float value);
    void OnSend();

    CColorComboBox* alarmType_;
    CColorComboBox* levels_[kLevels];
    CColorComboBox* filter_;
    CColorComboBox* protection_;
    QPushButton* send_;
};

} // namespace zelhart::ui
