// The widget tests: QTest classes run with Qt's offscreen platform (no display), each modal
// interaction scripted. "ui_widgets_test CLASS [QTest options]" runs one class.
#include "ui_tests.h"

#include "temp_dir.h"

#include <QApplication>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The program's settings, recent files and shell registration go to a private home.
    zelhart::testing::TempDir home;
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // tests close windows without an event loop to end

    const std::vector<std::pair<const char*, std::function<std::unique_ptr<QObject>()>>> classes = {
        {"DialogsTest", [] { return zelhart::ui::testing::MakeDialogsTest(); }},
        {"PortDialogTest", [] { return zelhart::ui::testing::MakePortDialogTest(); }},
        {"MainWindowTest", [] { return zelhart::ui::testing::MakeMainWindowTest(); }},
        {"ReportTest", [] { return zelhart::ui::testing::MakeReportTest(); }},
        {"StackTest", [] { return zelhart::ui::testing::MakeStackTest(); }},
        {"PagesTest", [] { return zelhart::ui::testing::MakePagesTest(); }},
        {"MonitoringTest", [] { return zelhart::ui::testing::MakeMonitoringTest(); }},
        {"CalibrationTest", [] { return zelhart::ui::testing::MakeCalibrationTest(); }},
        {"EndToEndTest", [] { return zelhart::ui::testing::MakeEndToEndTest(); }},
        {"TranslationTest", [] { return zelhart::ui::testing::MakeTranslationTest(); }},
        {"HartIpEndToEndTest", [] { return zelhart::ui::testing::MakeHartIpEndToEndTest(); }},
    };
    int failed = 0;
    bool ran = false;
    for (const auto& [name, make] : classes) {
        if (argc > 1 && std::strcmp(argv[1], name) != 0) continue;
        ran = true;
        std::unique_ptr<QObject> test = make();
        QStringList args{QString::fromLocal8Bit(argv[0])};
        for (int i = 2; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        failed += QTest::qExec(test.get(), args);
    }
    if (!ran) return 2;
    return failed == 0 ? 0 : 1;
}
