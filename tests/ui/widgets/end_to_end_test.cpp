// The real window, offscreen, against the paced simulator through the real interface library and
// the driver daemon: load from the device, change the tag (all 8 characters), both range points and
// the damping on the basic page, send, read back, save to a file and compare it with what
// "4810cli show" prints of that file. The simulator's state file says what the transmitter holds:
// after each read the pages show it, reads and saving change nothing there, and the send changes
// exactly the edited values, as typed.
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
#include <cmath>
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

// What the pages show against what the transmitter holds: the tag and every number of the basic and
// advanced pages that comes from the device. Empty when they agree, else one line per difference.
QString ShownAgainst(const ReportContent& pages, const std::map<QString, QString>& state) {
    const std::pair<int, const char*> fields[] = {
        {str::kLabelTag, "tag"},
        {str::kLabelLowerRange, "lower_range"},
        {str::kLabelUpperRange, "upper_range"},
        {str::kLabelDamping, "damping"},
        {str::kLabelLowAlarm, "low_alarm"},
        {str::kLabelHighAlarm, "high_alarm"},
        {str::kLabelLowSaturation, "low_saturation"},
        {str::kLabelHighSaturation, "high_saturation"},
    };
    QString differences;
    for (const auto& [label, key] : fields) {
        QString shown = "(no row)";
        for (int section = 0; section < 2; ++section) // the basic and the advanced page
            for (const ReportRow& row : pages.sections[size_t(section)])
                if (row.labelId == label) shown = QString::fromStdString(row.value);
        const QString held = state.count(key) ? state.at(key) : QString("(no key)");
        bool same = shown == held;
        if (label != str::kLabelTag) {
            // A number as the page rounds it: within half of its last shown digit.
            bool number = false;
            const QString point = QString(shown).replace(',', '.');
            const double value = point.toDouble(&number);
            const qsizetype dot = point.indexOf('.');
            const double half = 0.5 * std::pow(10.0, -double(dot < 0 ? 0 : point.size() - dot - 1));
            same = number && std::abs(value - held.toDouble()) <= half + 1e-6;
        }
        if (!same) differences += QString("%1: shown %2, held %3\n").arg(key, shown, held);
    }
    return differences;
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
        QCOMPARE(Changed(factory, SimState(state)), QStringList{}); // a read writes nothing
        QCOMPARE(ShownAgainst(w.View().ReportValues(), factory), QString());

        // The user's edits, sent.
        modal::Reset();
        modal::SetScripted(true);
        Type(Control<QLineEdit>(page, "edit123"), "e2e-test"); // all 8 characters
        Type(Control<QLineEdit>(page, "edit131"), "-10");
        Type(Control<QLineEdit>(page, "edit134"), "150");
        Type(Control<QLineEdit>(page, "edit143"), "3.7");
        modal::PushAnswer(hart::UserAnswer::Ok); // the output will change
        QTest::mouseClick(static_cast<CBasicPropPage*>(page)->SendButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds().back(), str::kSendComplete);
        // What reached the transmitter: the four edits, written as typed, and nothing else.
        const std::map<QString, QString> sent = SimState(state);
        QCOMPARE(Changed(factory, sent), (QStringList{"damping", "lower_range", "tag", "upper_range"}));
        QCOMPARE(sent.at("tag"), QString("E2E-TEST"));
        QCOMPARE(sent.at("lower_range"), QString("-10"));
        QCOMPARE(sent.at("upper_range"), QString("150"));
        QCOMPARE(sent.at("damping"), QString("3.7"));

        // Read back into a cleared document.
        world.Doc().OnNewDocument();
        modal::Reset();
        modal::SetScripted(true);
        QTest::mouseClick(w.View().LoadButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete});
        QCOMPARE(ShownAgainst(w.View().ReportValues(), sent), QString());
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
