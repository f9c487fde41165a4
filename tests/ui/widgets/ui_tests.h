// The widget test classes, one factory each (ui_test_main.cpp runs them).
#pragma once

#include <QObject>

#include <memory>

namespace zelhart::ui::testing {

std::unique_ptr<QObject> MakeDialogsTest();
std::unique_ptr<QObject> MakePortDialogTest();
std::unique_ptr<QObject> MakeMainWindowTest();
std::unique_ptr<QObject> MakeReportTest();
std::unique_ptr<QObject> MakeStackTest();
std::unique_ptr<QObject> MakePagesTest();
std::unique_ptr<QObject> MakeMonitoringTest();
std::unique_ptr<QObject> MakeCalibrationTest();
std::unique_ptr<QObject> MakeEndToEndTest();
std::unique_ptr<QObject> MakeTranslationTest();
std::unique_ptr<QObject> MakeHartIpEndToEndTest();

} // namespace zelhart::ui::testing
