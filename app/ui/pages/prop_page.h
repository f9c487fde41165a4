// What the four pages of the main view have in common: each is a widget the view places over the
// tab control's display area, keeps a pointer to the document, and answers the view's two calls of
// IViewPage (refresh from the document, enable the action controls). A page never talks to the
// transmitter: its buttons ask the main window for a command (commandRequested), which runs the
// document's operation on the link thread.
#pragma once

#include "core/report_content.h"
#include "core/view_logic.h"

#include "hart/document.h"

#include <QWidget>

#include <initializer_list>
#include <vector>

namespace zelhart::ui {

class CPropPage : public QWidget, public IViewPage {
    Q_OBJECT
  public:
    // `templateId`: the page's dialog template (105, 106, 107, 1238), also its captions' key.
    CPropPage(int templateId, QWidget* parent);

    void SetDocument(hart::CLrxDoc* doc) { m_pDoc = doc; }
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

    hart::CLrxDoc* m_pDoc = nullptr;

  private:
    int templateId_;
};

} // namespace zelhart::ui
