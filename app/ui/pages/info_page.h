// CInfoPropertyPage, tab "Информация" (template 107): the live values, the two fault lamps, the
// identification, the monitoring, and a live chart of the session with "save as CSV".
//
// Monitoring polls the transmitter every 4 s on the link thread (a poll does not hold the window):
// a timer starts the next poll 4 s after the previous one ended; each poll's end asks for command
// 32785, whose handler shows and refreshes this page, and adds a sample to the chart. While it runs
// the view keeps the tabs, the load button and every command that uses the link disabled (hint 6).
// Stopping does not wait for a poll that runs: the poll ends after its current transaction and shows
// nothing more; until it has, the link commands and the monitoring button stay disabled.
#pragma once

#include "pages/prop_page.h"

#include "core/monitor_log.h"

#include <QTimer>

class QLabel;
class QPushButton;

namespace zelhart::ui {

class CMonitorChart;
class CMyColorEdit;
class CTransparentImage;

class CInfoPropertyPage : public CPropPage {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kPollPeriod{4000};

    explicit CInfoPropertyPage(QWidget* parent);
    ~CInfoPropertyPage() override;
    bool RefreshFromDocument() override;       // always false: this page never asks to be selected
    void EnableControls(bool enable) override; // the monitoring button only
    std::vector<ReportRow> ReportRows() const override;

    // The monitoring button: starts (after the connection check) or stops monitoring.
    void OnMonitorButton();
    bool Monitoring() const { return monitoring_; }
    // A poll runs on the link thread.
    bool Polling() const { return polling_; }
    // Ends monitoring; a running poll ends after its current transaction.
    void StopMonitoring();
    // Forgets the last session's samples (a new document or a new read), unless monitoring runs.
    void ClearChart();
    // Saves the session's samples as CSV (asks for the file).
    void OnSaveCsv();
    // The poll period; tests go faster.
    void SetPollPeriod(std::chrono::milliseconds period) { period_ = period; }

    QPushButton* MonitorButton() const { return monitor_; }
    QPushButton* CsvButton() const { return csv_; }
    CMonitorChart* Chart() const { return chart_; }
    const MonitorLog& Log() const { return log_; }
    // The lamps' pictures as shown: red for a fault.
    bool SensorLampRed() const { return sensorRed_; }
    bool DeviceLampRed() const { return deviceRed_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void StartMonitoring();
    void Poll();
    void OnPolled(bool answered);

    CMyColorEdit* values_[3];   // measured value, loop current, device temperature
    QLabel* units_[3];          // their units
    CMyColorEdit* identity_[4]; // software, hardware, final assembly number, date
    CTransparentImage* sensorLamp_;
    CTransparentImage* deviceLamp_;
    QPushButton* monitor_;
    QPushButton* csv_;
    CMonitorChart* chart_;
    QTimer timer_;
    std::chrono::milliseconds period_ = kPollPeriod;
    MonitorLog log_;
    bool monitoring_ = false;
    bool polling_ = false; // a poll runs on the link thread
    bool enabled_ = true;  // the view's enable
    bool sensorRed_ = false;
    bool deviceRed_ = false;
};

} // namespace zelhart::ui
