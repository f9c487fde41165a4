// CLrxView: the form of the main window (template 104): the tab control with its four tabs, the
// pages over its display area, "Открыть из файла", "Загрузить из устройства" and the progress bar.
//
// The view never talks to the transmitter. The document's update hints arrive in OnUpdate; the
// rules (ViewLogic) decide what is selected, shown and enabled, and Apply copies that onto the
// controls. The buttons and the pages ask for commands (commandRequested), which the main window
// carries out. The printed report reads its values through ReportValues.
#pragma once

#include "core/report_content.h"
#include "core/view_logic.h"
#include "core/window_fit.h"

#include "hart/document.h"

#include <QTabWidget>
#include <QWidget>

#include <array>

class QPrinter;
class QProgressBar;
class QPushButton;

namespace zelhart::ui {

class CInfoPropertyPage;
class CPropPage;
struct PageLink;

// The tab control, able to say where its pages go.
class CTabControl : public QTabWidget {
    Q_OBJECT
  public:
    using QTabWidget::QTabWidget;
    // The display area below the tab row, in the tab control's coordinates.
    QRect DisplayRect() const;
};

class CLrxView : public QWidget {
    Q_OBJECT
  public:
    // Creation: the form's controls, then the four pages (basic, advanced, information,
    // calibration) with the document, then the tool tips.
    CLrxView(hart::CLrxDoc& doc, QWidget* parent = nullptr);

    // The first show: the four tabs and the pages over the display area, the selected one shown.
    void OnInitialUpdate();
    // Update hint 0..6 of the document.
    void OnUpdate(int hint);

    // The form's size in pixels: template 104 in the dialog font's units.
    QSize FormSize() const { return QSize(form_.width(), form_.height()); }
    DialogBaseUnits BaseUnits() const { return units_; }

    // How the pages reach the link (the main window's runner).
    void SetPageLink(const PageLink& link);
    CInfoPropertyPage* InfoPage() const;

    // The report's values: the basic, advanced and information pages' sections as they show them.
    ReportContent ReportValues() const;

    // The print commands. Print: the print dialog; direct: the default printer without a dialog
    // (the dialog when there is none); preview: the preview window. False when nothing was printed
    // (cancelled, or the printer failed: message shown).
    enum class PrintMode { Dialog, Direct, Preview };
    bool OnFilePrint(PrintMode mode);
    // Prints on `printer` as it is; false (message shown) when it cannot be started.
    bool PrintOn(QPrinter& printer);

    const ViewState& State() const { return logic_.State(); }
    // While a link operation holds the window the tabs, "Открыть из файла" and the pages look
    // disabled (the window takes no input then); afterwards they are as the rules left them.
    void SetHeld(bool held);
    bool Held() const { return held_; }
    CTabControl* Tabs() const { return tabs_; }
    QPushButton* OpenButton() const { return open_; }
    QPushButton* LoadButton() const { return load_; }
    QProgressBar* ProgressBar() const { return progress_; }
    CPropPage* Page(int index) const { return pages_[size_t(index)]; }

  signals:
    // A button of the form or of a page asks for a command (commands.h).
    void commandRequested(int commandId);
    // Selection or enabling changed (the main window follows with its commands).
    void stateChanged();

  private:
    void OnTabChanged(int tab);
    void Apply();
    QRect Px(Rect dlu) const;

    hart::CLrxDoc& doc_;
    DialogBaseUnits units_;
    Rect form_;
    CTabControl* tabs_;
    QPushButton* open_;
    QPushButton* load_;
    QProgressBar* progress_;
    std::array<CPropPage*, kPageCount> pages_{};
    ViewLogic logic_;
    bool applying_ = false;
    bool held_ = false;
};

} // namespace zelhart::ui
