// The printed report: one page, a 12-point font, the title at 25 mm from the paper's left edge and
// 15 mm from its top, the rows 17 mm below it at a pitch of 5 mm, each label at 25 mm and its ": value unit" at the
// value column, 94 mm.
#pragma once

#include "core/report_content.h"

#include <QString>

class QPainter;
class QPrinter;

namespace zelhart::ui {

inline constexpr double kReportLeftMm = 25.0;
inline constexpr double kReportTopMm = 15.0;
inline constexpr double kReportTitleGapMm = 17.0;
inline constexpr double kReportRowPitchMm = 5.0;
inline constexpr double kReportValueColumnMm = 94.0;

// Draws the report with `painter` on its (already begun) device.
void PaintReport(QPainter& painter, const ReportContent& content);

// Prints the report on one page of `printer`. False when the printer or file cannot be started;
// `error` then names it.
bool PrintReport(QPrinter& printer, const ReportContent& content, QString* error = nullptr);

} // namespace zelhart::ui
