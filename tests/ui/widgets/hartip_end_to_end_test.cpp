// The real window, offscreen, with a remote port: korvel4810-sim -> ZelHartDriver -> zelhart-hartipd ->
// HART-IP over loopback TCP -> the interface library -> 4810PC. The configuration loaded from the remote
// port and saved is byte for byte what the same load from the local port saves; the port dialog lists
// the remote port with its server's host and port.
#include "ui_tests.h"

#include "modal.h"
#include "port_dialog.h"
#include "test_world.h"
#include "view.h"

#include "zelhart/driver/daemon_process.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include "hart/strings.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <fstream>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

constexpr int kRemotePort = 250;

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class HartIpEndToEndTest : public QObject {
    Q_OBJECT

    // Load from COM`port` in the window and save it as `name`; the saved bytes.
    static QByteArray LoadAndSave(TestWorld& world, int port, const char* name) {
        world.settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, port);
        world.Doc().OnNewDocument();
        modal::Reset();
        modal::SetScripted(true);
        QTest::mouseClick(world.Window().View().LoadButton(), Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return !world.app->Runner().Busy(); }, 60000)) return {};
        if (modal::LoggedIds() != std::vector<int>{str::kReceiveComplete}) return {};
        const QString file = QString::fromStdString(world.dir / name);
        modal::PushFileName(file);
        world.Window().Action(kCmdSaveAs)->trigger();
        return FileBytes(file);
    }

  private slots:
    void loadFromARemotePortSavesWhatTheLocalLoadSaves() {
        TestWorld world;
        const std::string run = world.dir / "run", etc = world.dir / "etc";
        std::filesystem::create_directories(etc);
        QVERIFY(hartdriver::WriteServiceKey(etc, "\"QUIETTIME\"=dword:00000002\n"));
        sim::SimProcess simulator;
        QCOMPARE(QString::fromStdString(simulator.Start(run, {"--port", "free", "--no-pace", "--turnaround", "2"})),
                 QString());
        hartdriver::DaemonProcess daemon;
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = run;
        launch.configDir = etc;
        QCOMPARE(QString::fromStdString(daemon.Start(launch)), QString());
        ::setenv(kInterfaceLibraryEnv, ZELHART_INTERFACE_LIBRARY_PATH, 1);

        sim::ChildProcess server;
        sim::ChildSpec spec;
        spec.executable = ZELHART_HARTIPD;
        spec.args = {"--bind", "127.0.0.1", simulator.comName() + "=0"};
        spec.captureOutput = true;
        std::string ready; // "COM<n>=<port>"
        QCOMPARE(QString::fromStdString(server.StartAndAwaitReadyLine(spec, "zelhart-hartipd", std::chrono::seconds(10),
                                                                      &ready)),
                 QString());
        const std::string portsConf = etc + "/ports.conf", serverPort = ready.substr(ready.find('=') + 1);
        std::ofstream(portsConf) << "COM" << kRemotePort << "=hartip+tcp://127.0.0.1:" << serverPort << "\n";

        QVERIFY(!world.Start().has_value());
        const QByteArray local = LoadAndSave(world, *platform::ParseComName(simulator.comName()), "local.4810");
        QVERIFY(!local.isEmpty());
        const QByteArray remote = LoadAndSave(world, kRemotePort, "remote.4810");
        QVERIFY2(remote == local, server.Output().c_str());

        // The port dialog over the same port map: the remote port with its host, chosen by its number.
        platform::SerialPortMapSources sources;
        sources.portsDir = platform::PortsDir();
        sources.portsConf = portsConf;
        CPortSettingsDialog dialog(kRemotePort, {[sources] { return ListPortEntries(sources); },
                                                 [sources](int number) { return PortStillPresent(number, sources); }});
        // (the port is shown because it is not the well-known 5094)
        QCOMPARE(dialog.List()->currentText(), QString::fromStdString("COM250 (127.0.0.1:" + serverPort + ")"));
        QCOMPARE(dialog.PortNumber(), kRemotePort);
        world.app.reset();
        QCOMPARE(server.Terminate(), 0);
        QCOMPARE(daemon.Stop(), 0);
    }
};

} // namespace

std::unique_ptr<QObject> MakeHartIpEndToEndTest() {
    return std::make_unique<HartIpEndToEndTest>();
}

} // namespace zelhart::ui::testing

#include "hartip_end_to_end_test.moc"
