// Monitoring on the information page, in the real window against the simulator's transmitter
// in-process: start and stop with the tabs, the load button and the link commands, the tab each poll
// selects, Enter as Space, no second link operation beside a poll, a transmitter that stops
// answering, closing the window during monitoring, the chart and the CSV file.
#include "ui_tests.h"

#include "page_helpers.h"
#include "pages/info_page.h"
#include "pages/monitor_chart.h"

#include "hart/strings.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QtCharts/QLineSeries>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;
using namespace std::chrono_literals;

constexpr int kLinkCommands[] = {kCmdReadDevice,   kCmdSendBasic, kCmdSendAdvanced, kCmdCheckConnection,
                                 kCmdPortSettings, kCmdOpen,      kCmdNew};

class MonitoringTest : public QObject {
    Q_OBJECT

    // Starts monitoring from the page's button and waits for the connection check.
    static void Start(TestWorld& world, CInfoPropertyPage* info) {
        info->SetPollPeriod(30ms);
        QTest::mouseClick(info->MonitorButton(), Qt::LeftButton);
        WaitIdle(world);
        QVERIFY(info->Monitoring());
    }

  private slots:
    void init() { ::unsetenv("ZELHART_LOOPBACK_SILENT"); }
    void cleanup() { ::unsetenv("ZELHART_LOOPBACK_SILENT"); }

    void startStopTheTabsAndTheLink() {
        TestWorld world;
        world.Start();
        CLrxPcMainWin& w = world.Window();
        CLrxView& view = w.View();
        CInfoPropertyPage* info = view.InfoPage();
        QCOMPARE(view.Tabs()->currentIndex(), int(kBasicPage));
        Start(world, info);
        QCOMPARE(info->MonitorButton()->text(), QString("Остановить мониторинг"));
        QVERIFY(world.Doc().IsMonitoring());
        QVERIFY(!view.Tabs()->isEnabled());
        QVERIFY(!view.LoadButton()->isEnabled());
        for (int id : kLinkCommands)
            QVERIFY2(!w.Action(id)->isEnabled(), qPrintable(QString::number(id)));
        // Every poll shows the information page, whatever was selected.
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() >= 3, 10000);
        QCOMPARE(view.Tabs()->currentIndex(), int(kInformationPage));
        QVERIFY(info->isVisible());
        QVERIFY(!info->findChild<QLineEdit*>("edit159")->text().isEmpty());
        QCOMPARE(info->findChild<QLabel*>("label160")->text(), QString("°C"));
        QVERIFY(CMonitorChart::Points(info->Chart()->Measured()) >= 3);
        QVERIFY(CMonitorChart::Points(info->Chart()->Current()) >= 3);
        // The value axis' labels in the window's numbers (the locale's separator).
        QVERIFY(info->Chart()->chart()->localizeNumbers());

        // A link command does nothing while monitoring runs...
        modal::Reset();
        modal::SetScripted(true);
        w.RunCommand(kCmdReadDevice);
        QVERIFY(modal::Log().empty());
        // ...and the runner refuses a second operation while one runs: held here, the polls wait.
        std::atomic<bool> release{false};
        bool holding = false;
        QTRY_VERIFY_WITH_TIMEOUT(holding || (holding = w.RunLinkOperation(
                                                 [&release] {
                                                     while (!release)
                                                         std::this_thread::sleep_for(1ms);
                                                 },
                                                 false)),
                                 5000);
        const bool second = w.RunLinkOperation([] {}, false);
        release = !holding || second; // never leave the link held when this test fails
        QVERIFY(!second);
        const size_t held = info->Log().Samples().size();
        QTest::qWait(200); // several poll periods
        QCOMPARE(info->Log().Samples().size(), held);
        release = true;
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() > held, 10000);

        // Enter on the button acts as Space: monitoring stops, the tabs and commands come back.
        QTest::keyClick(info->MonitorButton(), Qt::Key_Return);
        QVERIFY(!info->Monitoring());
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 10000); // a poll that ran ends
        QCOMPARE(info->MonitorButton()->text(), QString("Запустить мониторинг"));
        QVERIFY(!world.Doc().IsMonitoring());
        QVERIFY(view.Tabs()->isEnabled());
        QVERIFY(view.LoadButton()->isEnabled());
        for (int id : kLinkCommands)
            QVERIFY(w.Action(id)->isEnabled());
        const size_t stopped = info->Log().Samples().size();
        QTest::qWait(100);
        QCOMPARE(info->Log().Samples().size(), stopped); // no poll after the stop
        QCOMPARE(modal::LoggedIds(), std::vector<int>{});
    }

    void theSessionSavedAsCsv() {
        TestWorld world;
        world.Start();
        CInfoPropertyPage* info = world.Window().View().InfoPage();
        QTest::mouseClick(info->CsvButton(), Qt::LeftButton);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kChartNoSamples});
        NumericLocale russian("ru_RU.UTF-8"); // the file's numbers do not follow the locale
        Start(world, info);
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() >= 2, 10000);
        info->StopMonitoring();
        WaitIdle(world);
        const QString path = QString::fromStdString(world.dir / "session.csv");
        modal::PushFileName(path);
        QTest::mouseClick(info->CsvButton(), Qt::LeftButton);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), int(info->Log().Samples().size()) + 1);
        QCOMPARE(lines[0], QString("time,measured_value,measured_units,loop_current_mA"));
        const QStringList fields = lines[1].split(',');
        QCOMPARE(fields.size(), 4);
        QVERIFY(QDateTime::fromString(fields[0], Qt::ISODate).isValid());
        QVERIFY(fields[1].contains('.'));
        QCOMPARE(fields[2], QString("°C"));
        // A file that cannot be written says so with its cause.
        modal::PushFileName(QString::fromStdString(world.dir / "no-such-dir/x.csv"));
        QTest::mouseClick(info->CsvButton(), Qt::LeftButton);
        QCOMPARE(modal::LoggedIds().back(), str::kCsvSaveFailed);
        QVERIFY(modal::Log().back().text.contains("no-such-dir"));
    }

    void aSilentTransmitterAndClosingEndWithinOnePoll() {
        TestWorld world;
        TestWorld::BriefClock brief;
        world.clock = &brief;
        world.Start();
        CLrxPcMainWin& w = world.Window();
        CInfoPropertyPage* info = w.View().InfoPage();
        Start(world, info);
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() >= 1, 10000);
        // The transmitter stops answering: the failed poll is reported, monitoring goes on.
        const size_t answered = info->Log().Samples().size();
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        QTRY_VERIFY_WITH_TIMEOUT(!modal::LoggedIds().empty(), 30000);
        QVERIFY(info->Monitoring());
        // The failed poll is kept as an outage, not as the last values again.
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() > answered, 30000);
        for (size_t i = answered; i < info->Log().Samples().size(); ++i)
            QVERIFY(!info->Log().Samples()[i].answered);
        // Stopping during a poll returns at once; the poll ends after its transaction, and until
        // then nothing can start another operation on the link.
        QTRY_VERIFY_WITH_TIMEOUT(info->Polling(), 30000);
        QElapsedTimer stop;
        stop.start();
        QTest::mouseClick(info->MonitorButton(), Qt::LeftButton);
        QVERIFY2(stop.elapsed() < 1000, qPrintable(QString::number(stop.elapsed())));
        QVERIFY(w.View().Tabs()->isEnabled());
        QVERIFY(world.app->Runner().Busy());
        QVERIFY(!w.Action(kCmdReadDevice)->isEnabled());
        QVERIFY(!w.View().LoadButton()->isEnabled());
        QVERIFY(!info->MonitorButton()->isEnabled());
        const size_t said = modal::Log().size();
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 20000);
        QCOMPARE(modal::Log().size(), said); // the cut poll shows nothing more
        QVERIFY(w.Action(kCmdReadDevice)->isEnabled());
        QVERIFY(w.View().LoadButton()->isEnabled());
        QVERIFY(info->MonitorButton()->isEnabled());

        // Back again: a new session; an outage inside it breaks the chart's lines.
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        Start(world, info);
        QTRY_VERIFY_WITH_TIMEOUT(info->Log().Samples().size() >= 1, 10000);
        MonitorLog gap;
        const auto now = std::chrono::system_clock::now();
        gap.Add({now - 8s, 21.0f, 32, 7.0f});
        gap.AddOutage(now - 4s);
        gap.Add({now, 22.0f, 32, 8.0f});
        info->Chart()->Show(gap, now);
        int stretches = 0;
        for (const QLineSeries* line : info->Chart()->Measured())
            stretches += line->count() > 0 ? 1 : 0;
        QCOMPARE(stretches, 2);
        QCOMPARE(CMonitorChart::Points(info->Chart()->Measured()), 2);
        // Then the window is closed during a poll: no question, no new poll.
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        QTRY_VERIFY_WITH_TIMEOUT(info->Polling(), 30000);
        modal::Reset();
        modal::SetScripted(true);
        QVERIFY(!w.close()); // the poll ends first, then the window closes
        QVERIFY(!info->Monitoring());
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 15000);
        QTRY_VERIFY(!w.isVisible());
        QCOMPARE(modal::LoggedIds(), std::vector<int>{}); // nothing asked, the poll's failure not shown
    }
};

} // namespace

std::unique_ptr<QObject> MakeMonitoringTest() {
    return std::make_unique<MonitoringTest>();
}

} // namespace zelhart::ui::testing

#include "monitoring_test.moc"
