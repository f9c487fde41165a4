// The view's hint handling, enable rules and tab selection, without widgets.
#include "core/view_logic.h"

#include "hart/document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zelhart::ui {
namespace {

class FakePage : public IViewPage {
  public:
    bool RefreshFromDocument() override {
        ++refreshes;
        return flagged;
    }
    void EnableControls(bool enable) override { enabled = enable; }
    bool flagged = false;
    bool enabled = true;
    int refreshes = 0;
};

class ViewLogicTest : public ::testing::Test {
  protected:
    ViewLogicTest() : logic({&pages[0], &pages[1], &pages[2], &pages[3]}, [this] { return progress; }) {}
    const ViewState& s() const { return logic.State(); }

    FakePage pages[kPageCount];
    int progress = 0;
    ViewLogic logic;
};

TEST_F(ViewLogicTest, TabChangeShowsThePageAndOpensFilesOnlyOnTheFirstTwoTabs) {
    const struct {
        int tab;
        bool open;
    } cases[] = {{2, false}, {0, true}, {3, false}, {1, true}, {2, false}};
    for (const auto& c : cases) {
        logic.OnTabChanged(c.tab);
        EXPECT_EQ(s().selectedTab, c.tab);
        EXPECT_EQ(s().shownPage, c.tab);
        EXPECT_EQ(s().openButtonEnabled, c.open) << "tab " << c.tab;
    }
    logic.OnTabChanged(7); // not a tab: nothing changes
    EXPECT_EQ(s().selectedTab, 2);
}

TEST_F(ViewLogicTest, RefreshSetsProgressAndSelectsTheFirstFlaggedPageWithoutTheTabChangeRule) {
    logic.OnTabChanged(3); // open button disabled by the tab-change rule
    progress = 48;
    pages[1].flagged = true;
    pages[2].flagged = true; // the information page never flags; even if it did, 1 comes first
    logic.OnUpdate(hart::kHintData);
    EXPECT_EQ(s().progress, 48);
    EXPECT_EQ(s().selectedTab, kAdvancedPage);
    EXPECT_EQ(s().shownPage, kAdvancedPage);
    EXPECT_FALSE(s().openButtonEnabled); // kept: a refresh is no tab change
    for (const FakePage& p : pages)
        EXPECT_EQ(p.refreshes, 1); // every page refreshes, in order, also after the first flagged

    pages[1].flagged = pages[2].flagged = false;
    logic.OnTabChanged(2);
    logic.OnUpdate(hart::kHintData); // nothing flagged: the selection stays
    EXPECT_EQ(s().selectedTab, 2);
    progress = 250;
    logic.OnUpdate(hart::kHintData);
    EXPECT_EQ(s().progress, 100);
}

TEST_F(ViewLogicTest, HintOneSelectsTheInformationTabAndRefreshesOnlyItsPage) {
    logic.OnTabChanged(0);
    logic.OnUpdate(hart::kHintMonitorRefresh);
    EXPECT_EQ(s().selectedTab, kInformationPage);
    EXPECT_EQ(s().shownPage, kInformationPage);
    EXPECT_TRUE(s().openButtonEnabled); // as it was on tab 0: no tab-change rule
    EXPECT_EQ(pages[kInformationPage].refreshes, 1);
    EXPECT_EQ(pages[kBasicPage].refreshes + pages[kAdvancedPage].refreshes + pages[kCalibrationPage].refreshes, 0);
}

TEST_F(ViewLogicTest, OperationHintsSwitchThePagesAndTheOpenButtonOnFileTabsOnly) {
    const struct {
        int tab;
        int hint;
        bool pages;
        bool open;
    } cases[] = {
        {0, hart::kHintOperationStarted, false, false}, {0, hart::kHintOperationEnded, true, true},
        {1, hart::kHintOperationStarted, false, false}, {1, hart::kHintOperationEnded, true, true},
        {2, hart::kHintOperationStarted, false, false}, {2, hart::kHintOperationEnded, true, false},
        {3, hart::kHintOperationStarted, false, false}, {3, hart::kHintOperationEnded, true, false},
    };
    for (const auto& c : cases) {
        logic.OnTabChanged(c.tab);
        logic.OnUpdate(c.hint);
        for (const FakePage& p : pages)
            EXPECT_EQ(p.enabled, c.pages) << "tab " << c.tab << " hint " << c.hint;
        EXPECT_EQ(s().pageActionsEnabled, c.pages);
        EXPECT_EQ(s().operationRunning, c.hint == hart::kHintOperationStarted);
        EXPECT_EQ(s().openButtonEnabled, c.open) << "tab " << c.tab << " hint " << c.hint;
    }
}

TEST_F(ViewLogicTest, ProcedureHintsSwitchTabsAndLoadButtonAndHintTwoChangesNothing) {
    logic.OnUpdate(hart::kHintProcedureStarted);
    EXPECT_FALSE(s().tabsEnabled);
    EXPECT_FALSE(s().loadButtonEnabled);
    EXPECT_TRUE(s().procedureRunning);
    EXPECT_TRUE(s().openButtonEnabled);
    EXPECT_TRUE(pages[0].enabled);
    const ViewState before = s();
    logic.OnUpdate(hart::kHintCleared);
    EXPECT_EQ(before.selectedTab, s().selectedTab);
    EXPECT_EQ(before.tabsEnabled, s().tabsEnabled);
    logic.OnUpdate(hart::kHintProcedureEnded);
    EXPECT_TRUE(s().tabsEnabled);
    EXPECT_TRUE(s().loadButtonEnabled);
    EXPECT_FALSE(s().procedureRunning);
}

} // namespace
} // namespace zelhart::ui
