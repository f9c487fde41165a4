#include "pages/value_rows.h"

#include "controls.h"
#include "qt_text.h"

#include <QGridLayout>
#include <QLabel>

namespace zelhart::ui {

ValueRows::ValueRows(QWidget* parent) : QWidget(parent), grid_(new QGridLayout(this)) {
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setVerticalSpacing(2);
    grid_->setColumnStretch(1, 1);
}

CMyColorEdit* ValueRows::Edit(int row) const {
    return row >= 0 && row < int(edits_.size()) ? edits_[size_t(row)] : nullptr;
}

void ValueRows::Show(const std::vector<ReportRow>& rows, const std::vector<std::optional<Field>>& flags,
                     const FieldError& errors) {
    while (edits_.size() < rows.size()) {
        const int r = int(edits_.size());
        labels_.push_back(new QLabel(this));
        edits_.push_back(new CMyColorEdit(this));
        edits_.back()->setReadOnly(true);
        edits_.back()->setObjectName(QStringLiteral("value%1").arg(r));
        units_.push_back(new QLabel(this));
        grid_->addWidget(labels_.back(), r, 0);
        grid_->addWidget(edits_.back(), r, 1);
        grid_->addWidget(units_.back(), r, 2);
    }
    rows_ = rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        labels_[i]->setText(Text(rows[i].labelId));
        edits_[i]->setText(Qs(rows[i].value));
        units_[i]->setText(rows[i].value.empty() ? QString() : Qs(rows[i].unit));
        const bool flagged = i < flags.size() && flags[i] && errors.IsSet(*flags[i]);
        edits_[i]->SetBackgroundColor(flagged ? kHighlightBackground : kNormalBackground);
    }
}

} // namespace zelhart::ui
