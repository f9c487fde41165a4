// Texts of the string table as Qt strings.
#pragma once

#include "hart/strings.h"

#include <QString>

#include <string>
#include <string_view>

namespace zelhart::ui {

inline QString Qs(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

// String `id` of the table.
inline QString Text(int id) {
    return Qs(hart::LoadString(id));
}

inline std::string Utf8Of(const QString& text) {
    return text.toStdString();
}

// A tool tip no wider than `width` pixels (the pages' 100): the text wraps inside it.
inline QString NarrowToolTip(const QString& text, int width = 100) {
    return QStringLiteral("<table width=\"%1\"><tr><td>%2</td></tr></table>").arg(width).arg(text.toHtmlEscaped());
}

} // namespace zelhart::ui
