// Read-only rows "label [value] unit" with which the pages show the document's values until their
// own controls take over: each value in a CMyColorEdit, yellow when the transmitter rejected it.
#pragma once

#include "core/report_content.h"

#include "hart/transmitter_model_fields.h"

#include <QWidget>

#include <optional>
#include <vector>

class QGridLayout;
class QLabel;

namespace zelhart::ui {

class CMyColorEdit;

class ValueRows : public QWidget {
    Q_OBJECT
  public:
    explicit ValueRows(QWidget* parent);

    // Shows `rows`; row i is yellow when `flags[i]` names a field the document flags.
    void Show(const std::vector<ReportRow>& rows, const std::vector<std::optional<Field>>& flags,
              const FieldError& errors);
    // What the rows show now.
    const std::vector<ReportRow>& Rows() const { return rows_; }
    CMyColorEdit* Edit(int row) const;

  private:
    QGridLayout* grid_;
    std::vector<ReportRow> rows_;
    std::vector<QLabel*> labels_, units_;
    std::vector<CMyColorEdit*> edits_;
};

} // namespace zelhart::ui
