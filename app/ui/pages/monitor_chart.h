// The information page's live chart: the measured value (left axis, in its units) and the loop
// current (right axis, mA) over the last 15 minutes of the monitoring session.
#pragma once

#include "core/monitor_log.h"

#include <QtCharts/QChartView>

#include <vector>

QT_BEGIN_NAMESPACE
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
QT_END_NAMESPACE

namespace zelhart::ui {

class CMonitorChart : public QChartView {
    Q_OBJECT
  public:
    explicit CMonitorChart(QWidget* parent = nullptr);

    // Shows the samples of the chart's window before `now`.
    void Show(const MonitorLog& log, std::chrono::system_clock::time_point now);

    // The lines drawn, one a stretch of answered polls: an outage is a gap between two.
    const std::vector<QLineSeries*>& Measured() const { return measured_; }
    const std::vector<QLineSeries*>& Current() const { return current_; }
    // The points of all stretches.
    static int Points(const std::vector<QLineSeries*>& lines);
    QValueAxis* MeasuredAxis() const { return measuredAxis_; }

  private:
    // Shows `stretches` in `lines`, adding lines drawn like the first as needed.
    void Draw(std::vector<QLineSeries*>& lines, const std::vector<QList<QPointF>>& stretches, QValueAxis* axis);

    std::vector<QLineSeries*> measured_;
    std::vector<QLineSeries*> current_;
    QDateTimeAxis* time_;
    QValueAxis* measuredAxis_;
    QValueAxis* currentAxis_;
};

} // namespace zelhart::ui
