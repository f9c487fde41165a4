#include "view.h"

#include "core/commands.h"
#include "modal.h"
#include "pages/advanced_page.h"
#include "pages/basic_page.h"
#include "pages/cal_page.h"
#include "pages/info_page.h"
#include "qt_text.h"
#include "report_printer.h"

#include <QFontMetrics>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionTabWidgetFrame>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

constexpr int kToolTipWidth = 100;

constexpr int kTabCaptions[kPageCount] = {str::kTabBasic, str::kTabAdvanced, str::kTabInformation,
                                          str::kTabCalibration};

std::array<IViewPage*, kPageCount> AsViewPages(const std::array<CPropPage*, kPageCount>& pages) {
    return {pages[0], pages[1], pages[2], pages[3]};
}

} // namespace

QRect CTabControl::DisplayRect() const {
    QStyleOptionTabWidgetFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_TabWidgetTabContents, &option, this);
}

CLrxView::CLrxView(hart::CLrxDoc& doc, QWidget* parent)
    : QWidget(parent), doc_(doc),
      units_(BaseUnitsFromFont(QFontMetrics(font()).horizontalAdvance(QString::fromLatin1(kBaseUnitAlphabet)),
                               QFontMetrics(font()).height())),
      form_(MapDialogRect(RectXYWH(0, 0, kFormWidthDlu, kFormHeightDlu), units_)), tabs_(new CTabControl(this)),
      open_(new QPushButton(Text(str::kMainOpenButton), this)),
      load_(new QPushButton(Text(str::kMainLoadButton), this)), progress_(new QProgressBar(this)),
      pages_{new CBasicPropPage(this), new CAdvancedPropPage(this), new CInfoPropertyPage(this),
             new CCalPropPage(this)},
      logic_(AsViewPages(pages_), [this] { return doc_.GetProgress(); }) {
    setObjectName("CLrxView");
    setFixedSize(FormSize());
    tabs_->setObjectName("tab121");
    open_->setObjectName("button188");
    load_->setObjectName("button189");
    progress_->setObjectName("progress1239");
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    tabs_->setGeometry(Px(kTabControlDlu));
    open_->setGeometry(Px(kOpenButtonDlu));
    load_->setGeometry(Px(kLoadButtonDlu));
    // A button narrower than its text and the style's margins grows leftwards, the open button
    // moving along, so the text never touches the border.
    if (const int short_ = load_->sizeHint().width() - load_->width(); short_ > 0) {
        load_->setGeometry(load_->geometry().adjusted(-short_, 0, 0, 0));
        open_->move(open_->x() - short_, open_->y());
    }
    progress_->setGeometry(Px(kProgressBarDlu));

    for (CPropPage* page : pages_) {
        page->SetDocument(&doc_);
        page->hide();
        connect(page, &CPropPage::commandRequested, this, &CLrxView::commandRequested);
    }
    open_->setToolTip(NarrowToolTip(Text(str::kTipOpenButton), kToolTipWidth));
    load_->setToolTip(NarrowToolTip(Text(str::kTipLoadButton), kToolTipWidth));

    connect(open_, &QPushButton::clicked, this, [this] { emit commandRequested(kCmdOpenButton); });
    connect(load_, &QPushButton::clicked, this, [this] { emit commandRequested(kCmdLoadButton); });
    connect(tabs_, &QTabWidget::currentChanged, this, &CLrxView::OnTabChanged);
}

QRect CLrxView::Px(Rect dlu) const {
    const Rect r = MapDialogRect(dlu, units_);
    return QRect(r.left, r.top, r.width(), r.height());
}

void CLrxView::OnInitialUpdate() {
    if (tabs_->count() == 0) {
        applying_ = true; // inserting the first tab selects it: no tab change of the user's
        for (int caption : kTabCaptions)
            tabs_->addTab(new QWidget(tabs_), Text(caption));
        applying_ = false;
    }
    const QRect display = tabs_->DisplayRect().translated(tabs_->pos());
    for (CPropPage* page : pages_) {
        page->hide();
        page->setGeometry(display);
        page->raise();
    }
    Apply();
}

void CLrxView::OnUpdate(int hint) {
    // A new or opened document and a new read start the chart afresh.
    if (hint == hart::kHintCleared || hint == hart::kHintOperationStarted) InfoPage()->ClearChart();
    logic_.OnUpdate(hint);
    Apply();
}

void CLrxView::OnTabChanged(int tab) {
    if (applying_) return;
    logic_.OnTabChanged(tab);
    Apply();
}

void CLrxView::Apply() {
    const ViewState& s = logic_.State();
    applying_ = true;
    if (tabs_->count() > s.selectedTab) tabs_->setCurrentIndex(s.selectedTab);
    applying_ = false;
    for (int i = 0; i < kPageCount; ++i) {
        pages_[size_t(i)]->setVisible(i == s.shownPage && tabs_->count() > 0);
        pages_[size_t(i)]->setEnabled(!held_);
    }
    open_->setEnabled(s.openButtonEnabled && !held_);
    load_->setEnabled(s.loadButtonEnabled);
    tabs_->setEnabled(s.tabsEnabled && !held_);
    progress_->setValue(s.progress);
    emit stateChanged();
}

void CLrxView::SetHeld(bool held) {
    if (held == held_) return;
    held_ = held;
    Apply();
}

void CLrxView::SetPageLink(const PageLink& link) {
    for (CPropPage* page : pages_)
        page->SetLink(link);
}

CInfoPropertyPage* CLrxView::InfoPage() const {
    return static_cast<CInfoPropertyPage*>(pages_[kInformationPage]);
}

ReportContent CLrxView::ReportValues() const {
    ReportContent report;
    report.titleId = str::kReportTitle;
    for (int i = 0; i < 3; ++i)
        report.sections[size_t(i)] = pages_[size_t(i)]->ReportRows();
    return report;
}

bool CLrxView::PrintOn(QPrinter& printer) {
    QString target;
    if (PrintReport(printer, ReportValues(), &target)) return true;
    modal::Message(str::kPrintFailed, Text(str::kPrintFailed).arg(target), hart::MessageIcon::Stop, window());
    return false;
}

bool CLrxView::OnFilePrint(PrintMode mode) {
    QPrinter printer(QPrinter::HighResolution);
    switch (mode) {
    case PrintMode::Direct:
        // Without a default printer the framework asks for one after all.
        if (!modal::DefaultPrinter(printer) && !modal::PrintDialog(printer, window())) return false;
        return PrintOn(printer);
    case PrintMode::Dialog:
        if (!modal::PrintDialog(printer, window())) return false;
        return PrintOn(printer);
    case PrintMode::Preview:
        break;
    }
    QPrintPreviewDialog preview(&printer, window());
    connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* p) { PrintOn(*p); });
    return modal::Exec(preview) == QDialog::Accepted;
}

} // namespace zelhart::ui
