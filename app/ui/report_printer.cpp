#include "report_printer.h"

#include "qt_text.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPrinter>

namespace zelhart::ui {

void PaintReport(QPainter& painter, const ReportContent& content) {
    QPaintDevice& device = *painter.device();
    // Pixels per millimetre of the device, and a 12-point font (a sixth of an inch) made from the
    // painter's current one.
    const double perMmX = double(device.width()) / device.widthMM();
    const double perMmY = double(device.height()) / device.heightMM();
    const QFont previous = painter.font();
    QFont font = previous;
    font.setPixelSize(device.logicalDpiY() / 6);
    if (device.logicalDpiX() != device.logicalDpiY())
        font.setStretch(qRound(100.0 * device.logicalDpiX() / device.logicalDpiY()));
    painter.setFont(font);
    const double ascent = QFontMetricsF(font, &device).ascent();
    // A text placed at (x, y) has its top there.
    auto draw = [&](double xMm, double yMm, const QString& text) {
        painter.drawText(QPointF(xMm * perMmX, yMm * perMmY + ascent), text);
    };

    double y = kReportTopMm;
    draw(kReportLeftMm, y, Text(content.titleId));
    y += kReportTitleGapMm;
    for (const auto& section : content.sections)
        for (const ReportRow& row : section) {
            draw(kReportLeftMm, y, Text(row.labelId));
            draw(kReportValueColumnMm, y, Qs(ValueColumnText(row)));
            y += kReportRowPitchMm;
        }
    painter.setFont(previous);
}

bool PrintReport(QPrinter& printer, const ReportContent& content, QString* error) {
    printer.setFromTo(1, 1); // one page
    printer.setFullPage(true); // millimetres from the paper's edge
    QPainter painter;
    if (!painter.begin(&printer)) {
        if (error)
            *error = printer.outputFileName().isEmpty() ? printer.printerName() : printer.outputFileName();
        return false;
    }
    PaintReport(painter, content);
    painter.end();
    if (printer.printerState() == QPrinter::Error) {
        if (error) *error = printer.outputFileName().isEmpty() ? printer.printerName() : printer.outputFileName();
        return false;
    }
    return true;
}

} // namespace zelhart::ui
