// The calibration page and its dialogs in the real window against the simulator's transmitter
// in-process: the loop calibration through its steps with the "Да"/"Нет"/"Отмена" answers and a
// rejected value, a write-protected and a silent transmitter, the fixed-current check against the
// alarm levels in a comma locale, the sensor calibration through both dialogs and the progress
// wait, and the dialogs' own rules.
#include "ui_tests.h"

#include "cal_dialogs.h"
#include "page_helpers.h"
#include "pages/cal_page.h"

#include "hart/strings.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>

#include <cstdlib>
#include <fstream>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;
using hart::UserAnswer;

// A value of the simulator's state file.
QString StateValue(TestWorld& world, const char* key) {
    QFile file(QString::fromStdString(world.dir / "state.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QRegularExpression line(QStringLiteral("^%1\\s*=\\s*(.*)$").arg(QLatin1String(key)),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(file.readAll())).captured(1).trimmed();
}

class CalibrationTest : public QObject {
    Q_OBJECT

    TestWorld* world_ = nullptr;
    CCalPropPage* page_ = nullptr;

    // A world whose transmitter starts with `state` (lines of the simulator's state file).
    void Open(const char* state = "") {
        world_ = new TestWorld;
        std::ofstream(world_->dir / "state.txt", std::ios::app) << state;
        QVERIFY(!world_->Start().has_value());
        page_ = static_cast<CCalPropPage*>(world_->Window().View().Page(kCalibrationPage));
        world_->Window().View().Tabs()->setCurrentIndex(kCalibrationPage);
    }
    void Click(int button) {
        QVERIFY2(page_->Button(button)->isEnabled(), qPrintable(QString::number(button)));
        QTest::mouseClick(page_->Button(button), Qt::LeftButton);
        WaitIdle(*world_);
    }
    // Starts the loop calibration: the output at 4 mA.
    void StartLoop() {
        modal::PushAnswer(UserAnswer::Ok); // the meter is connected
        Click(1250);
        QCOMPARE(page_->Procedures()->LoopState(), 1);
    }
    bool TabsEnabled() const { return world_->Window().View().Tabs()->isEnabled(); }
    // The loop current the transmitter puts out now, read by a document of its own.
    float TransmitterLoopCurrent() {
        struct Quiet : hart::IUserInterface {
            void ShowMessage(int, std::string_view, hart::MessageIcon) override {}
            UserAnswer AskUser(int, std::string_view, hart::MessageButtons, hart::MessageIcon) override {
                return UserAnswer::Cancel;
            }
            void BeginWaitCursor() override {}
            void EndWaitCursor() override {}
        } ui;
        struct NoWait : hart::IProgressWait {
            void Wait(hart::ProgressWaitMode) override {}
        } wait;
        hart::CLrxDoc doc(world_->settings, ui, wait);
        if (!doc.CheckConnection(false) || !doc.RefreshMonitor()) return NotANumber;
        return doc.Transmitter().GetLoopCurrent();
    }

  private slots:
    void init() { ::unsetenv("ZELHART_LOOPBACK_SILENT"); }
    void cleanup() {
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        delete world_;
        world_ = nullptr;
    }

    void theLoopThroughItsStepsAndAnswers() {
        Open();
        world_->Window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&world_->Window()));
        StartLoop();
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kConnectMultimeter, str::kEnter4mAValue}));
        QVERIFY(!TabsEnabled());
        QVERIFY(!page_->Button(1266)->isEnabled());
        QVERIFY(!page_->Edit(1246)->isEnabled());
        QVERIFY(!page_->Edit(1259)->isEnabled());
        // 4.25 mA is said to be too high when the field is left elsewhere, and kept.
        modal::Reset();
        modal::SetScripted(true);
        CMyColorEdit* edit4 = page_->Edit(1251);
        QPushButton* set4 = page_->Button(1247);
        edit4->setFocus(Qt::OtherFocusReason);
        Type(edit4, "4.25");
        edit4->clearFocus();
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::k4mAValueTooHigh});
        QVERIFY(edit4->hasFocus());
        // Going to its own "Установить" is no leaving: the button keeps the focus and the press
        // goes through, says what the value is and uses it. The transmitter refuses it (too large):
        // "Да" asks for the value again.
        modal::Reset();
        modal::SetScripted(true);
        QTest::mousePress(set4, Qt::LeftButton);
        QVERIFY(modal::LoggedIds().empty());
        QVERIFY(set4->hasFocus());
        modal::PushAnswer(UserAnswer::Yes);
        QTest::mouseRelease(set4, Qt::LeftButton);
        WaitIdle(*world_);
        QCOMPARE(modal::LoggedIds(),
                 (std::vector<int>{str::k4mAValueTooHigh, str::kLoopTrimRepeat, str::kEnter4mAValue}));
        QCOMPARE(page_->Procedures()->LoopState(), 1);
        // Accepted; Enter in the edit is "Установить": "Нет", the 4 mA step again; then Tab and
        // Space: "Да", on to 20 mA.
        modal::Reset();
        modal::SetScripted(true);
        edit4->setFocus(Qt::OtherFocusReason);
        Type(edit4, "4.01");
        modal::PushAnswer(UserAnswer::No);
        QTest::keyClick(edit4, Qt::Key_Return);
        WaitIdle(*world_);
        QVERIFY(edit4->hasFocus()); // back where it was once the step let go of the window
        QTest::keyClick(edit4, Qt::Key_Tab);
        QVERIFY(set4->hasFocus());
        modal::PushAnswer(UserAnswer::Yes);
        QTest::keyClick(set4, Qt::Key_Space);
        WaitIdle(*world_);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kLoop4mAConfirm, str::kEnter4mAValue,
                                                       str::kLoop4mAConfirm, str::kEnter20mAValue}));
        QCOMPARE(page_->Procedures()->LoopState(), 2);
        QVERIFY(edit4->text().isEmpty());
        QVERIFY(page_->Edit(1259)->isEnabled() && !edit4->isEnabled());
        QCOMPARE(world_->Doc().Transmitter().FixedOutputCurrent(), 20.0f);
        // 20 mA confirmed: the output is released, the calibration is done.
        modal::Reset();
        modal::SetScripted(true);
        Type(page_->Edit(1259), "20.02");
        modal::PushAnswer(UserAnswer::Yes);
        Click(1258);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kLoop20mAConfirm, str::kLoopCalibrationDone}));
        QCOMPARE(page_->Procedures()->LoopState(), 0);
        QVERIFY(TabsEnabled());
        QVERIFY(IsNotSet(world_->Doc().Transmitter().FixedOutputCurrent()));
        QCOMPARE(StateValue(*world_, "loop_zero_measured").toFloat(), 4.01f);
        QCOMPARE(StateValue(*world_, "loop_gain_measured").toFloat(), 20.02f);
        // Again, "Отмена" at the 4 mA point: released, "прервана", idle.
        modal::Reset();
        modal::SetScripted(true);
        StartLoop();
        Type(edit4, "4.0");
        modal::PushAnswer(UserAnswer::Cancel);
        Click(1247);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kConnectMultimeter, str::kEnter4mAValue,
                                                       str::kLoop4mAConfirm, str::kLoopCalibrationAborted}));
        QCOMPARE(page_->Procedures()->LoopState(), 0);
        QVERIFY(edit4->text().isEmpty());
        QVERIFY(IsNotSet(world_->Doc().Transmitter().FixedOutputCurrent()));
        QVERIFY(TabsEnabled() && page_->Button(1250)->isEnabled());
    }

    void aWriteProtectedTransmitterKeepsTheLoopIdle() {
        Open("write_protect = 1\n");
        StartLoopFails();
    }

    void aTransmitterThatStopsAnsweringEndsTheStep() {
        world_ = nullptr;
        auto* world = new TestWorld;
        TestWorld::BriefClock brief; // the link's pauses shortened
        world->clock = &brief;
        world_ = world;
        QVERIFY(!world_->Start().has_value());
        page_ = static_cast<CCalPropPage*>(world_->Window().View().Page(kCalibrationPage));
        StartLoop();
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        modal::Reset();
        modal::SetScripted(true);
        Type(page_->Edit(1251), "4.0");
        // "Not found": the question's default gives up. The output is still at 4 mA: releasing it
        // fails too, which is said with the current; "Отмена" leaves it so.
        Click(1247);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kSensorNotFound, str::kSensorNotFound,
                                                       str::kOutputStaysFixed, str::kLoopCalibrationAborted}));
        QVERIFY(modal::Log()[2].text.contains("4.00 мА"));
        QCOMPARE(modal::Log()[2].buttons, hart::MessageButtons::RetryCancel);
        QCOMPARE(page_->Procedures()->LoopState(), 0);
        QVERIFY(TabsEnabled());
        QVERIFY(page_->Button(1250)->isEnabled() && page_->Button(1266)->isEnabled());
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        QCOMPARE(TransmitterLoopCurrent(), 4.0f);
        // Closing asks about it: "Отмена" keeps the window; "Да" releases it and closes.
        modal::Reset();
        modal::SetScripted(true);
        modal::PushAnswer(UserAnswer::Cancel); // (the calibration's values are no changes to save)
        QVERIFY(!world_->Window().close());
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kOutputFixedOnClose});
        QVERIFY(modal::Log()[0].text.contains("4.00 мА"));
        QVERIFY(world_->Window().isVisible());
        modal::PushAnswer(UserAnswer::Yes);
        world_->Window().close();
        QTRY_VERIFY_WITH_TIMEOUT(!world_->Window().isVisible(), 10000);
        QVERIFY(IsNotSet(world_->Doc().Transmitter().FixedOutputCurrent()));
        QVERIFY(TransmitterLoopCurrent() != 4.0f);
        world_->clock = nullptr;
        delete world_; // before the clock
        world_ = nullptr;
    }

    void closingWithTheOutputFixedAsksFirst() {
        // "Выход" during the loop calibration: "Отмена" keeps the window and the step.
        Open();
        StartLoop();
        modal::Reset();
        modal::SetScripted(true);
        modal::PushAnswer(UserAnswer::Cancel);
        world_->Window().Action(kCmdExit)->trigger();
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kOutputFixedOnClose});
        QVERIFY(world_->Window().isVisible());
        QCOMPARE(page_->Procedures()->LoopState(), 1);
        delete world_;
        // "Проверка ЦАП" at 12 mA, then the window is closed: "Да" releases the output first.
        Open();
        Type(page_->Edit(1246), "12");
        modal::PushAnswer(UserAnswer::Ok);
        Click(1255);
        QCOMPARE(TransmitterLoopCurrent(), 12.0f);
        modal::Reset();
        modal::SetScripted(true);
        modal::PushAnswer(UserAnswer::Yes);
        world_->Window().close();
        QTRY_VERIFY_WITH_TIMEOUT(!world_->Window().isVisible(), 10000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kOutputFixedOnClose});
        QVERIFY(modal::Log()[0].text.contains("12.00 мА"));
        QVERIFY(TransmitterLoopCurrent() != 12.0f);
    }

    void theFixedCurrentAgainstTheAlarmLevelsInACommaLocale() {
        Open("low_alarm = 3.5\n");
        NumericLocale russian("ru_RU.UTF-8"); // after the start, which takes the environment's
        if (!russian.ok()) QSKIP("ru_RU.UTF-8 is not installed");
        Type(page_->Edit(1246), "3,0");
        QCOMPARE(world_->Doc().Transmitter().GetFixedCurrent(), 3.0f);
        modal::PushAnswer(UserAnswer::Ok);
        Click(1255);
        QCOMPARE(modal::LoggedIds(),
                 (std::vector<int>{str::kLoopOutputWillChange, str::kFixedCurrentBelowLowAlarm}));
        QCOMPARE(modal::Log().back().text,
                 QString("Записываемое значение фиксированного тока ниже нижнего уровня аварии! (3,50 mA)"));
        QVERIFY(page_->Button(1250)->isEnabled());
        // 4 mA is set; the loop cannot start until "Сброс".
        modal::Reset();
        modal::SetScripted(true);
        Type(page_->Edit(1246), "4");
        modal::PushAnswer(UserAnswer::Ok);
        Click(1255);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kLoopOutputWillChange, str::kFixedCurrentSet}));
        QCOMPARE(modal::Log().back().text, QString("Фиксированный ток (4,00 mA) успешно установлен!"));
        QVERIFY(!page_->Button(1250)->isEnabled());
        Click(1248);
        QCOMPARE(modal::LoggedIds().back(), str::kFixedCurrentLeft);
        QVERIFY(page_->Edit(1246)->text().isEmpty());
        QVERIFY(page_->Button(1250)->isEnabled());
        // Nothing typed: said, nothing sent.
        modal::Reset();
        modal::SetScripted(true);
        Click(1255);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kNoFixedCurrent});
    }

    void theSensorThroughBothDialogsAndTheWait() {
        Open();
        // The settings dialog shows the limits the transmitter reports; both points are chosen.
        modal::PushDialog([](QDialog& d) {
            auto& settings = dynamic_cast<CCalSettingsDialog&>(d);
            if (settings.findChild<QLabel*>("label161")->text() != "850.00") return int(QDialog::Rejected);
            if (settings.findChild<QLabel*>("label159")->text() != "°C") return int(QDialog::Rejected);
            QTest::mouseClick(settings.BothPoints(), Qt::LeftButton);
            return int(QDialog::Accepted);
        });
        // The measurement dialog reads the transmitter when it opens.
        auto measured = std::make_shared<QString>();
        auto measure = [measured](QDialog& d) -> int {
            auto& m = dynamic_cast<CCalMeasDialog&>(d);
            m.ReadData();
            for (int i = 0; i < 1000 && m.Reading(); ++i)
                QTest::qWait(10);
            *measured = m.Value()->text() + " " + m.Unit()->text();
            return int(QDialog::Accepted);
        };
        modal::PushDialog(measure);
        Click(1266);
        QCOMPARE(*measured, QString("21.50 °C"));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kPlaceAtLowerPoint});
        QCOMPARE(page_->Procedures()->SensorState(), 1);
        QCOMPARE(world_->Doc().Transmitter().GetCalPoints(), 1);
        QVERIFY(!TabsEnabled());
        QVERIFY(page_->Edit(1253)->isEnabled() && !page_->Edit(1261)->isEnabled());
        // The lower point: the transmitter's 36 s wait (shortened here), then the upper point.
        modal::Reset();
        modal::SetScripted(true);
        QWidget* progressOwner = nullptr;
        modal::PushDialog([&progressOwner](QDialog& d) { // the progress window, centred on the window
            progressOwner = d.parentWidget();
            return int(QDialog::Accepted);
        });
        modal::PushDialog(measure);
        Type(page_->Edit(1253), "21");
        Click(1256);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kLowerTrimDone, str::kPlaceAtUpperPoint}));
        QCOMPARE(modal::Log()[0].text, QString("CProgressDialog"));
        QCOMPARE(progressOwner, static_cast<QWidget*>(&world_->Window()));
        QCOMPARE(page_->Procedures()->SensorState(), 2);
        QCOMPARE(StateValue(*world_, "calibration_mode"), QString("1"));
        // Outside the calibration limits: said before anything is written; "Нет" ends it.
        modal::Reset();
        modal::SetScripted(true);
        Type(page_->Edit(1261), "-99999");
        modal::PushAnswer(UserAnswer::No);
        Click(1263);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kUpperPointOutOfRange, str::kTrimRepeat}));
        QCOMPARE(page_->Procedures()->SensorState(), 0);
        QVERIFY(TabsEnabled());
        // Back to the factory calibration.
        modal::Reset();
        modal::SetScripted(true);
        Click(1265);
        QCOMPARE(modal::LoggedIds().back(), str::kFactoryModeSet);
        QCOMPARE(StateValue(*world_, "calibration_mode"), QString("0"));
    }

    void theDialogsOwnRules() {
        CCalSettingsDialog settings;
        // No caption, so no title bar (not the program's name in one).
        QVERIFY((settings.windowFlags() & Qt::CustomizeWindowHint) && !(settings.windowFlags() & Qt::WindowTitleHint));
        settings.Prepare(35, 1123.15f, NotANumber);
        settings.SetPointsChoice(1);
        QVERIFY(settings.BothPoints()->isChecked() && !settings.LowerOnly()->isChecked());
        for (const char* label : {"label159", "label162", "label165"})
            QCOMPARE(settings.findChild<QLabel*>(label)->text(), QString("°K"));
        QCOMPARE(settings.findChild<QLabel*>("label161")->text(), QString("1123.15"));
        QVERIFY(settings.findChild<QLabel*>("label164")->text().isEmpty());
        QTest::mouseClick(settings.LowerOnly(), Qt::LeftButton);
        QVERIFY(settings.LowerOnly()->isChecked() && !settings.BothPoints()->isChecked());
        QCOMPARE(settings.PointsChoice(), 0);
        QTest::mouseClick(settings.LowerOnly(), Qt::LeftButton); // unchecking one checks the other
        QVERIFY(settings.BothPoints()->isChecked());
        QCOMPARE(settings.PointsChoice(), 1);

        // "Отмена" on "not found" leaves the measurement dialog open with the old value.
        Open();
        PageLink link;
        link.start = [this](std::function<void()> op, std::function<void()> done, bool holds) {
            return world_->Window().RunLinkOperation(std::move(op), holds, std::move(done));
        };
        TestWorld::BriefClock brief; // "not found" after 4.5 s instead of 45
        link.newTransmitter = [this, &brief] {
            return std::make_unique<hart::CTransmitter>(world_->settings, world_->Doc().UserInterface(),
                                                        brief);
        };
        CCalMeasDialog measurement(link);
        measurement.show();
        QTRY_VERIFY_WITH_TIMEOUT(!measurement.Value()->text().isEmpty(), 10000); // read when it opened
        QTRY_VERIFY(!measurement.Reading());
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        measurement.ReadData();
        QVERIFY(!measurement.ReadButton()->isEnabled());
        measurement.reject(); // not while reading
        QVERIFY(measurement.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!measurement.Reading(), 60000);
        QCOMPARE(modal::LoggedIds().back(), str::kSensorNotFound);
        QCOMPARE(measurement.Value()->text(), QString("21.50"));
        QVERIFY(measurement.isVisible() && measurement.ReadButton()->isEnabled());
    }

  private:
    void StartLoopFails() {
        modal::PushAnswer(UserAnswer::Ok);
        Click(1250);
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kConnectMultimeter, str::kWriteProtected}));
        QCOMPARE(page_->Procedures()->LoopState(), 0);
        QVERIFY(TabsEnabled());
    }
};

} // namespace

std::unique_ptr<QObject> MakeCalibrationTest() {
    return std::make_unique<CalibrationTest>();
}

} // namespace zelhart::ui::testing

#include "calibration_test.moc"
