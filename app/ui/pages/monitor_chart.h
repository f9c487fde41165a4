// The information page's live chart: the measured value (left axis, in its units) and the loop
// current (right axis, mA) over the last 15 minutes of the monitoring session.
#pragma once

#include "core/monitor_log.h"

#include <QtCharts/QChartView>

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

    QLineSeries* Measured() const { return measured_; }
    QLineSeries* Current() const { return current_; }
    QValueAxis* MeasuredAxis() const { return measuredAxis_; }

  private:
    QLineSeries* measured_;
    QLineSeries* current_;
    QDateTimeAxis* time_;
    QValueAxis* measuredAxis_;
    QValueAxis* currentAxis_;
};

} // namespace zelhart::ui
