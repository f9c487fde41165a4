#include "pages/monitor_chart.h"

#include "qt_text.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"
#include "hart/transmitter_model_fields.h"

#include <QDateTime>
#include <QGraphicsLayout>
#include <QLocale>
#include <QtCharts/QChart>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

// The axis' range around [low, high], with room when the values do not move; its labels with
// as many decimals as tell the ticks apart.
void Fit(QValueAxis* axis, double low, double high) {
    if (low > high) {
        axis->setRange(0, 1);
    } else {
        const double margin = std::max((high - low) * 0.1, 0.05);
        axis->setRange(low - margin, high + margin);
        axis->applyNiceNumbers();
    }
    axis->setLabelFormat(QStringLiteral("%.%1f").arg(AxisDecimals(axis->min(), axis->max(), axis->tickCount())));
}

qint64 Msecs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

} // namespace

CMonitorChart::CMonitorChart(QWidget* parent)
    : QChartView(parent), measured_{new QLineSeries}, current_{new QLineSeries}, time_(new QDateTimeAxis),
      measuredAxis_(new QValueAxis), currentAxis_(new QValueAxis) {
    setObjectName("monitorChart");
    auto* chart = new QChart;
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setBackgroundRoundness(0);
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() - 2));
    chart->legend()->setFont(small);
    chart->legend()->setAlignment(Qt::AlignBottom);
    // Numbers with the window's decimal separator.
    chart->setLocalizeNumbers(true);
    chart->setLocale(QLocale());
    measured_[0]->setName(Text(hart::str::TemplateText(107, 158)).simplified());
    current_[0]->setName(Text(hart::str::TemplateText(107, 161)));
    chart->addSeries(measured_[0]);
    chart->addSeries(current_[0]);
    time_->setFormat(QStringLiteral("HH:mm"));
    time_->setTickCount(4);
    time_->setTitleText(QString()); // the clock times say it
    currentAxis_->setTitleText(Text(str::kMilliamperes));
    for (QAbstractAxis* axis : std::initializer_list<QAbstractAxis*>{time_, measuredAxis_, currentAxis_}) {
        axis->setLabelsFont(small);
        axis->setTitleFont(small);
    }
    chart->addAxis(time_, Qt::AlignBottom);
    chart->addAxis(measuredAxis_, Qt::AlignLeft);
    chart->addAxis(currentAxis_, Qt::AlignRight);
    measured_[0]->attachAxis(time_);
    measured_[0]->attachAxis(measuredAxis_);
    current_[0]->attachAxis(time_);
    current_[0]->attachAxis(currentAxis_);
    // The view made a chart of its own, which setChart hands back rather than deleting.
    QChart* const own = this->chart();
    setChart(chart);
    delete own;
    setRenderHint(QPainter::Antialiasing);
    setToolTip(NarrowToolTip(Text(str::kTipChart), 160));
    Show(MonitorLog(), std::chrono::system_clock::now());
}

int CMonitorChart::Points(const std::vector<QLineSeries*>& lines) {
    int points = 0;
    for (const QLineSeries* line : lines)
        points += int(line->count());
    return points;
}

void CMonitorChart::Draw(std::vector<QLineSeries*>& lines, const std::vector<QList<QPointF>>& stretches,
                         QValueAxis* axis) {
    while (lines.size() < stretches.size()) {
        auto* line = new QLineSeries;
        chart()->addSeries(line);
        line->attachAxis(time_);
        line->attachAxis(axis);
        line->setPen(lines[0]->pen());
        for (QLegendMarker* marker : chart()->legend()->markers(line))
            marker->setVisible(false); // one legend entry a quantity
        lines.push_back(line);
    }
    for (size_t i = 0; i < lines.size(); ++i)
        lines[i]->replace(i < stretches.size() ? stretches[i] : QList<QPointF>{});
}

void CMonitorChart::Show(const MonitorLog& log, std::chrono::system_clock::time_point now) {
    const std::vector<MonitorSample> samples = log.Recent(now);
    // A poll without an answer ends a stretch of each line.
    std::vector<QList<QPointF>> measured(1), current(1);
    double lowM = HUGE_VAL, highM = -HUGE_VAL, lowC = HUGE_VAL, highC = -HUGE_VAL;
    std::int32_t units = kUnitsNotSet;
    for (const MonitorSample& s : samples) {
        if (!s.answered) {
            if (!measured.back().isEmpty()) measured.emplace_back();
            if (!current.back().isEmpty()) current.emplace_back();
            continue;
        }
        const double t = double(Msecs(s.time));
        if (IsSet(s.measured)) {
            measured.back() << QPointF(t, s.measured);
            lowM = std::min(lowM, double(s.measured));
            highM = std::max(highM, double(s.measured));
            units = s.measuredUnits;
        }
        if (IsSet(s.loopCurrent)) {
            current.back() << QPointF(t, s.loopCurrent);
            lowC = std::min(lowC, double(s.loopCurrent));
            highC = std::max(highC, double(s.loopCurrent));
        }
    }
    Draw(measured_, measured, measuredAxis_);
    Draw(current_, current, currentAxis_);
    measuredAxis_->setTitleText(Qs(UnitText(units)));
    Fit(measuredAxis_, lowM, highM);
    Fit(currentAxis_, lowC, highC);
    // The window's last 15 minutes; a younger session fills it from its first sample (a minute at least).
    auto from = now - MonitorLog::kChartWindow;
    if (!samples.empty())
        from = std::max(from, std::min(samples.front().time, now - std::chrono::minutes(1)));
    time_->setFormat(now - from < std::chrono::minutes(5) ? QStringLiteral("HH:mm:ss")
                                                          : QStringLiteral("HH:mm"));
    time_->setRange(QDateTime::fromMSecsSinceEpoch(Msecs(from)), QDateTime::fromMSecsSinceEpoch(Msecs(now)));
}

} // namespace zelhart::ui
