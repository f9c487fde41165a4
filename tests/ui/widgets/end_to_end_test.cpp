// The real window, offscreen, against the paced simulator through the real interface library and
// the driver daemon: load from the device, change the tag and the 20 mA point on the basic page,
// send, read back, save to a file and compare it with what "4810cli show" prints of that file. After
// each operation the simulator's state file says what reached the transmitter: reads and saving
// change nothing there, the send changes exactly the edited values.
#include "ui_tests.h"

#include "page_helpers.h"
#include "pages/basic_page.h"
#include "qt_text.h"

#include "zelhart/driver/daemon_process.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/sim_process.h"

#include "hart/strings.h"

#include <QAction>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <map>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

// The simulator's state file as key = value pairs.
std::map<QString, QString> SimState(const std::string& path) {
    QFile file(QString::fromStdString(path));
    std::map<QString, QString> values;
    if (!file.open(QIODevice::ReadOnly)) return values;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0) values[line.left(eq).trimmed()] = line.mid(eq + 1).trimmed();
    }
    return values;
}

// The configuration keys whose values differ between two states (the live values move by themselves).
QStringList Changed(const std::map<QString, QString>& before, const std::map<QString, QString>& after) {
    QStringList keys;
    for (const auto& [key, value] : after)
        if (key != "process_value" && key != "electronics_temperature" && (!before.count(key) || before.at(key) != value))
            keys << key;
    return keys;
}

class EndToEndTest : public QObject {
    Q_OBJECT

  private slots:
    void editSendReadBackAndSave() {
        TestWorld world;
        const std::string run = world.dir / "run";
        const std::string state = world.dir / "sim-state.txt";
        sim::SimProcess simulator;                        // paced: 11 bits at 1200 baud a character
        QCOMPARE(QString::fromStdString(simulator.Start(run, {"--port", "free", "--state", state})), QString());
        hartdriver::DaemonProcess daemon;
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = world.dir / "etc";
        QCOMPARE(QString::fromStdString(daemon.Start(launch)), QString());
        ::setenv(kInterfaceLibraryEnv, ZELHART_INTERFACE_LIBRARY_PATH, 1);
        // The simulator took a COM number no real port has; the program's setting names it.
        const auto simulated = platform::ParseComName(simulator.comName());
        QVERIFY(simulated && *simulated >= platform::kFirstSimulatorComNumber);
        world.settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, *simulated);

        const std::map<QString, QString> factory = SimState(state);
        QVERIFY(factory.count("tag") && factory.count("upper_range"));
        QVERIFY(!world.Start().has_value());
        CLrxPcMainWin& w = world.Window();
        QWidget* page = w.View().Page(kBasicPage);
        QTest::mouseClick(w.View().LoadButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete});
        QCOMPARE(Control<QLineEdit>(page, "edit123")->text(), QString("TT-101"));
        QCOMPARE(Changed(factory, SimState(state)), QStringList{}); // a read writes nothing

        // The user's edits, sent.
        modal::Reset();
        modal::SetScripted(true);
        Type(Control<QLineEdit>(page, "edit123"), "e2e-01");
        Type(Control<QLineEdit>(page, "edit134"), "150");
        modal::PushAnswer(hart::UserAnswer::Ok); // the output will change
        QTest::mouseClick(static_cast<CBasicPropPage*>(page)->SendButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds().back(), str::kSendComplete);
        // What reached the transmitter: the two edits, written as typed, and nothing else.
        const std::map<QString, QString> sent = SimState(state);
        QCOMPARE(Changed(factory, sent), (QStringList{"tag", "upper_range"}));
        QCOMPARE(sent.at("tag"), QString("E2E-01"));
        QCOMPARE(sent.at("upper_range"), QString("150"));

        // Read back into a cleared document.
        world.Doc().OnNewDocument();
        modal::Reset();
        modal::SetScripted(true);
        QTest::mouseClick(w.View().LoadButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete});
        QCOMPARE(Control<QLineEdit>(page, "edit123")->text(), QString("E2E-01"));
        QCOMPARE(Control<QLineEdit>(page, "edit134")->text(), QString("150.00"));
        QCOMPARE(Changed(sent, SimState(state)), QStringList{});

        // Saved, then shown by the command-line front end as the pages show it.
        const QString file = QString::fromStdString(world.dir / "e2e.4810");
        modal::PushFileName(file);
        w.Action(kCmdSaveAs)->trigger();
        QCOMPARE(QString::fromStdString(world.Doc().GetPathName()), file);
        QProcess cli;
        cli.start(ZELHART_4810CLI, {"show", file});
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(cli.exitCode(), 0);
        const QStringList shown = QString::fromUtf8(cli.readAllStandardOutput()).split('\n');
        const ReportContent pages = w.View().ReportValues();
        int compared = 0;
        for (int section = 0; section < 2; ++section) // the configuration; a file holds no live values
            for (const ReportRow& row : pages.sections[size_t(section)]) {
                const QString line = Text(row.labelId) + QString::fromStdString(ValueColumnText(row));
                QVERIFY2(shown.contains(line), qPrintable(line + "\n---\n" + shown.join('\n')));
                ++compared;
            }
        QCOMPARE(compared, 15);
        QCOMPARE(Changed(sent, SimState(state)), QStringList{}); // saving is the file's business alone
        world.app.reset();
        QCOMPARE(daemon.Stop(), 0);
    }
};

} // namespace

std::unique_ptr<QObject> MakeEndToEndTest() {
    return std::make_unique<EndToEndTest>();
}

} // namespace zelhart::ui::testing

#include "end_to_end_test.moc"
