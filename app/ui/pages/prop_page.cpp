#include "pages/prop_page.h"

#include "core/page_input.h"
#include "modal.h"
#include "qt_text.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace zelhart::ui {

CPropPage::CPropPage(int templateId, QWidget* parent) : QWidget(parent), templateId_(templateId) {
    setObjectName(QStringLiteral("page%1").arg(templateId));
}

bool CPropPage::AnyFlagged(std::initializer_list<Field> fields) const {
    if (!m_pDoc) return false;
    for (Field f : fields)
        if (m_pDoc->Transmitter().GetFieldError(f)) return true;
    return false;
}

QString CPropPage::Caption(int controlId) const {
    return Text(hart::str::TemplateText(templateId_, controlId));
}

QLabel* CPropPage::NewLabel(int controlId, QWidget* parent) const {
    auto* label = new QLabel(Caption(controlId), parent);
    label->setObjectName(QStringLiteral("label%1").arg(controlId));
    return label;
}

void CPropPage::Say(int id, hart::MessageIcon icon, const QString& suffix) {
    modal::Message(id, Text(id) + suffix, icon, window());
}

float FilterNumberEdit(QLineEdit* edit, bool allowSign) {
    const std::string typed = Utf8Of(edit->text());
    const std::string kept = FilterNumber(typed, DecimalSeparator(), allowSign);
    if (kept != typed) {
        edit->setText(Qs(kept));
        edit->setFocus();
        edit->setCursorPosition(int(edit->text().size()));
    }
    return NumberFromText(kept);
}

QGridLayout* CompactGrid(QWidget* group) {
    auto* grid = new QGridLayout(group);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setVerticalSpacing(2);
    grid->setHorizontalSpacing(4);
    return grid;
}

bool UserLeftEdit(const QEvent* event) {
    if (event->type() != QEvent::FocusOut) return false;
    switch (static_cast<const QFocusEvent*>(event)->reason()) {
    case Qt::MouseFocusReason:
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason:
        return true;
    default:
        return false;
    }
}

} // namespace zelhart::ui
