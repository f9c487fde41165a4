// CBasicPropPage, tab "Основное" (template 105): tag, sensor type and connection, units, the 4 mA
// and 20 mA points, the sensor limits, damping, and "Отправить в устройство".
//
// Every edit goes into the document's model at once; BasicPageLogic (core/settings_pages.h) says
// what the lists hold and what each choice stores. The send button runs the page's checks in
// order, then asks for command 32790 (the document sends the basic settings).
#pragma once

#include "pages/prop_page.h"

#include "core/settings_pages.h"

#include <memory>

class QLabel;
class QPushButton;

namespace zelhart::ui {

class CColorComboBox;
class CMyColorEdit;

class CBasicPropPage : public CPropPage {
    Q_OBJECT
  public:
    explicit CBasicPropPage(QWidget* parent);
    ~CBasicPropPage() override;
    void SetDocument(hart::CLrxDoc* doc) override;
    bool RefreshFromDocument() override;
    void EnableControls(bool enable) override; // the send button only
    std::vector<ReportRow> ReportRows() const override;

    QPushButton* SendButton() const { return send_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnTagEdited();
    void OnSend();
    void ShowChoice(); // the lists, unit labels and limits as the logic has them

    std::unique_ptr<BasicPageLogic> logic_;
    CMyColorEdit* tag_;
    CColorComboBox* sensor_;
    CColorComboBox* connection_;
    CColorComboBox* units_;
    CMyColorEdit* lower_;
    CMyColorEdit* upper_;
    CMyColorEdit* lowerLimit_;
    CMyColorEdit* upperLimit_;
    CMyColorEdit* damping_;
    QLabel* unitLabels_[4]; // 4 mA, 20 mA, lower limit, upper limit
    QPushButton* send_;
};

} // namespace zelhart::ui
