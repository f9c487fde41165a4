#include "pages/prop_page.h"

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

} // namespace zelhart::ui
