// The window-system-free part of the main view: which tab is selected, which page is shown, what is
// enabled, and how each update hint of the document and the user's change of tab act on that. The
// Qt view (CLrxView) owns one, passes the hints and tab changes in, and copies the state onto its
// controls; tests drive it without widgets.
#pragma once

#include <array>
#include <functional>

namespace zelhart::ui {

// The four tabs and their pages, in tab order.
enum PageIndex : int { kBasicPage = 0, kAdvancedPage = 1, kInformationPage = 2, kCalibrationPage = 3 };
inline constexpr int kPageCount = 4;

// What the view asks of each of its pages.
class IViewPage {
  public:
    virtual ~IViewPage() = default;
    // Fills the page's controls from the document; true when it shows a field the transmitter
    // rejected (the document's FieldError flag). The calibration page always answers false.
    virtual bool RefreshFromDocument() = 0;
    // Enables or disables the page's action controls, those that start a transmitter operation.
    virtual void EnableControls(bool enable) = 0;
};

struct ViewState {
    int selectedTab = kBasicPage; // selection of the tab control
    int shownPage = kBasicPage;   // the one page that is visible
    bool openButtonEnabled = true;
    bool loadButtonEnabled = true;
    bool tabsEnabled = true;
    bool pageActionsEnabled = true; // what the pages were last told
    bool operationRunning = false;  // between hints 4 and 3
    bool procedureRunning = false;  // between hints 6 and 5: monitoring or a calibration procedure
    int progress = 0;               // the progress bar, 0..100
};

class ViewLogic {
  public:
    // `progress` reads the document's progress value.
    ViewLogic(std::array<IViewPage*, kPageCount> pages, std::function<int()> progress);

    // Update hint 0..6 of the document.
    void OnUpdate(int hint);
    // The user chose `tab` (the tab control's selection-changed notification): the tab-change rule.
    void OnTabChanged(int tab);

    const ViewState& State() const { return state_; }

  private:
    // Selects `tab` and shows its page, without the tab-change rule.
    void Select(int tab);
    void Refresh();
    void EnablePages(bool enable);

    std::array<IViewPage*, kPageCount> pages_;
    std::function<int()> progress_;
    ViewState state_;
};

} // namespace zelhart::ui
