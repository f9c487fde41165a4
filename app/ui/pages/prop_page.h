// What the four pages of the main view have in common: each is a widget the view places over the
// tab control's display area, keeps a pointer to the document, and answers the view's calls of
// IViewPage (refresh from the document, enable the action controls). A page never talks to the
// transmitter itself: its buttons ask the main window for a command (commandRequested), and the
// monitoring and the calibration procedures run their document operations on the link thread
// through the page's PageLink.
#pragma once

#include "core/report_content.h"
#include "core/view_logic.h"

#include "hart/document.h"

#include <QWidget>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class QGridLayout;
class QLabel;
class QLineEdit;

namespace zelhart::ui {

// How a page reaches the link (the main window hands it over, tests may run operations at once).
struct PageLink {
    // Runs `operation` on the link thread, then `done` on the user-interface thread. `holdsWindow`:
    // the main window takes no input meanwhile. False, and nothing run, while another operation runs.
    std::function<bool(std::function<void()> operation, std::function<void()> done, bool holdsWindow)> start;
    // Waits until no link operation runs (the user-interface calls of the running one go on).
    std::function<void()> waitUntilIdle;
    // The running operation ends after its current transaction, showing nothing more.
    std::function<void()> abort;
    // A transmitter of its own on the program's link (the measurement dialog reads through one).
    std::function<std::unique_ptr<hart::CTransmitter>()> newTransmitter;
};

class CPropPage : public QWidget, public IViewPage {
    Q_OBJECT
  public:
    // `templateId`: the page's dialog template (105, 106, 107, 1238), also its captions' key.
    CPropPage(int templateId, QWidget* parent);

    virtual void SetDocument(hart::CLrxDoc* doc) { m_pDoc = doc; }
    void SetLink(PageLink link) { link_ = std::move(link); }
    int TemplateId() const { return templateId_; }

    // This page's section of the printed report, each value as the page's control shows it. The
    // calibration page has none.
    virtual std::vector<ReportRow> ReportRows() const { return {}; }

  signals:
    // A button of the page asks for command `commandId` (commands.h).
    void commandRequested(int commandId);

  protected:
    // Whether the document flags any of `fields` as rejected by the transmitter.
    bool AnyFlagged(std::initializer_list<Field> fields) const;
    // A caption of this page's template.
    QString Caption(int controlId) const;
    QLabel* NewLabel(int controlId, QWidget* parent) const;
    // A plain message box of the framework with string `id` (and `suffix` after it).
    void Say(int id, hart::MessageIcon icon = hart::MessageIcon::None, const QString& suffix = {});

    hart::CLrxDoc* m_pDoc = nullptr;
    PageLink link_;

  private:
    int templateId_;
};

// The numeric input filter on an edit the user changed: the text cut to what the filter keeps,
// written back (focus, caret at the end) when it changed; returns the value (NaN when empty).
float FilterNumberEdit(QLineEdit* edit, bool allowSign);

// A group's grid as the pages pack them into the tab's area: narrow margins and rows.
QGridLayout* CompactGrid(QWidget* group);

// Whether a focus change is the user's leaving an edit (not a window or pop-up taking the focus).
bool UserLeftEdit(const QEvent* event);

} // namespace zelhart::ui
