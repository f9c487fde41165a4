#include "core/view_logic.h"

#include "hart/document.h"

#include <algorithm>

namespace zelhart::ui {

namespace {
bool OpensFiles(int tab) {
    return tab == kBasicPage || tab == kAdvancedPage;
}
} // namespace

ViewLogic::ViewLogic(std::array<IViewPage*, kPageCount> pages, std::function<int()> progress)
    : pages_(pages), progress_(std::move(progress)) {}

void ViewLogic::Select(int tab) {
    state_.selectedTab = tab;
    state_.shownPage = tab;
}

void ViewLogic::Refresh() {
    state_.progress = std::clamp(progress_(), 0, 100);
    int flagged = -1;
    for (int i = 0; i < kPageCount; ++i)
        if (pages_[i]->RefreshFromDocument() && flagged < 0) flagged = i;
    if (flagged >= 0) Select(flagged);
}

void ViewLogic::EnablePages(bool enable) {
    for (IViewPage* page : pages_)
        page->EnableControls(enable);
    state_.pageActionsEnabled = enable;
    if (OpensFiles(state_.selectedTab)) state_.openButtonEnabled = enable;
}

void ViewLogic::OnUpdate(int hint) {
    switch (hint) {
    case hart::kHintData:
        Refresh();
        break;
    case hart::kHintMonitorRefresh:
        Select(kInformationPage);
        pages_[kInformationPage]->RefreshFromDocument();
        break;
    case hart::kHintOperationEnded:
        state_.operationRunning = false;
        EnablePages(true);
        break;
    case hart::kHintOperationStarted:
        state_.operationRunning = true;
        EnablePages(false);
        break;
    case hart::kHintProcedureEnded:
        state_.procedureRunning = false;
        state_.tabsEnabled = true;
        state_.loadButtonEnabled = true;
        break;
    case hart::kHintProcedureStarted:
        state_.procedureRunning = true;
        state_.tabsEnabled = false;
        state_.loadButtonEnabled = false;
        break;
    default: // 2 (the cleared state) and anything unknown: nothing visible
        break;
    }
}

void ViewLogic::OnTabChanged(int tab) {
    if (tab < 0 || tab >= kPageCount) return;
    Select(tab);
    state_.openButtonEnabled = OpensFiles(tab);
}

} // namespace zelhart::ui
