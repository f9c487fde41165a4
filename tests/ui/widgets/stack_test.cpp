// The desktop program against the whole stack: the real interface library, ZelHartDriver and
// korvel4810-sim on a pseudo-terminal (unpaced, so only the data link's own waits count). A read
// from the window, then closing the window in the middle of the next one: the user stops it after
// its current command, answers the save question, and the program's event loop ends.
#include "ui_tests.h"

#include "modal.h"
#include "test_world.h"
#include "view.h"

#include "zelhart/driver/daemon_process.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/sim_process.h"

#include "hart/strings.h"

#include <QApplication>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

class StackTest : public QObject {
    Q_OBJECT

  private slots:
    void readThenCloseDuringAReadThroughTheDaemon() {
        TestWorld world;
        const std::string run = world.dir / "run";
        sim::SimProcess simulator;
        QCOMPARE(QString::fromStdString(simulator.Start(run, {"--port", "free", "--no-pace"})), QString());
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

        QVERIFY(!world.Start().has_value());
        CLrxPcMainWin& w = world.Window();
        w.RunCommand(kCmdReadDevice);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 60000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete});
        QCOMPARE(world.Doc().Transmitter().GetDeviceId(), 0x3A5F21);

        // The next read, closed in the middle and stopped there; the program's loop ends.
        modal::Reset();
        modal::PushAnswer(hart::UserAnswer::Yes); // the read data would be lost
        modal::PushAnswer(hart::UserAnswer::No);  // stop it after the current command
        modal::PushAnswer(hart::UserAnswer::No);  // save changes?
        QApplication::setQuitOnLastWindowClosed(true);
        w.RunCommand(kCmdReadDevice);
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (w.View().ProgressBar()->value() >= 32 && w.isVisible()) w.close();
        });
        closer.start(5);
        QTimer::singleShot(60000, qApp, [] { QCoreApplication::exit(99); });
        const int result = QApplication::exec();
        QApplication::setQuitOnLastWindowClosed(false);
        QCOMPARE(result, 0);
        QVERIFY(!world.app->Runner().Busy());
        QVERIFY(!w.isVisible());
        QCOMPARE(modal::LoggedIds(),
                 (std::vector<int>{str::kDataWillBeLost, str::kOperationRunsOnClose, str::kAskToSave}));
        QVERIFY(!world.Doc().Transmitter().IsLinkOpen());
        world.app.reset(); // the library closes nothing left open; the daemon stops cleanly
        QCOMPARE(daemon.Stop(), 0);
    }
};

} // namespace

std::unique_ptr<QObject> MakeStackTest() {
    return std::make_unique<StackTest>();
}

} // namespace zelhart::ui::testing

#include "stack_test.moc"
