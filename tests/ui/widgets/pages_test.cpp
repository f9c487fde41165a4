// The basic and advanced pages as the user works them, in the real window against the simulator's
// transmitter in-process: the lists per sensor, the unit labels and limits, the numeric filter on
// real key clicks under both decimal separators, the tag's rules, the damping check, the send
// buttons' checks in order, the highlight of a value the transmitter rejected, and the report read
// from what the pages show.
#include "ui_tests.h"

#include "core/page_lists.h"
#include "page_helpers.h"
#include "pages/advanced_page.h"
#include "pages/basic_page.h"

#include "qt_text.h"

#include "hart/sensor_limits.h"
#include "hart/strings.h"

#include <QAction>
#include <QLabel>

#include <cstdlib>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

class PagesTest : public QObject {
    Q_OBJECT

    TestWorld* world_ = nullptr;
    QWidget* page_ = nullptr;

    QWidget* Page(int index) { return world_->Window().View().Page(index); }

  private slots:
    void init() {
        world_ = new TestWorld;
        QVERIFY(!world_->Start().has_value());
        page_ = Page(kBasicPage);
    }
    void cleanup() {
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        delete world_;
        world_ = nullptr;
    }

    void listsLimitsAndUnitsFollowTheSensor() {
        auto* sensor = Control<QComboBox>(page_, "combo125");
        auto* connection = Control<QComboBox>(page_, "combo127");
        auto* units = Control<QComboBox>(page_, "combo129");
        QCOMPARE(sensor->count(), 22);
        QCOMPARE(sensor->itemText(14), QString("Термопара Тип K"));
        const struct {
            int sensor;
            QStringList connections, units;
        } cases[] = {
            {1, {"", "2-проводное", "3-проводное", "4-проводное"}, {"", "°C", "°F", "°R", "°K", "Ом"}},
            {14, {"", "2-проводное"}, {"", "°C", "°F", "°R", "°K", "мВ"}},
            {20, {"", "2-проводное"}, {"", "мВ"}},
            {21, {"", "2-проводное", "3-проводное", "4-проводное"}, {"", "Ом"}},
        };
        for (const auto& c : cases) {
            Choose(sensor, c.sensor);
            QCOMPARE(Entries(connection), c.connections);
            QCOMPARE(Entries(units), c.units);
        }
        // PT100 in °C, then °F: the limits in the new units, the points as typed.
        Choose(sensor, 1);
        Choose(connection, 2);
        Choose(units, 1);
        QCOMPARE(Control<QLineEdit>(page_, "edit137")->text(), QString("-200.00"));
        QCOMPARE(Control<QLabel>(page_, "label141")->text(), QString("°C"));
        Type(Control<QLineEdit>(page_, "edit134"), "100");
        Choose(units, 2);
        const SensorLimitPair f = SensorLimits(1, kUnitsFahrenheit);
        QCOMPARE(Control<QLineEdit>(page_, "edit140")->text(),
                 QString::fromStdString(FormatNumber(f.upper, 2)));
        QCOMPARE(Control<QLabel>(page_, "label135")->text(), QString("°F"));
        QCOMPARE(Control<QLineEdit>(page_, "edit134")->text(), QString("100"));
        const hart::CTransmitter& m = world_->Doc().Transmitter();
        QCOMPARE(m.GetRangeUnits(), kUnitsFahrenheit);
        QCOMPARE(m.GetSensorConnection(), 3);
        // The empty sensor: no limits, no unit labels.
        Choose(sensor, 0);
        QVERIFY(Control<QLineEdit>(page_, "edit137")->text().isEmpty());
        QVERIFY(Control<QLabel>(page_, "label132")->text().isEmpty());
        QVERIFY(IsNotSet(m.GetUpperSensorLimit()));
    }

    void theNumericFilterUnderBothSeparators() {
        auto* lower = Control<QLineEdit>(page_, "edit131");
        auto* damping = Control<QLineEdit>(page_, "edit143");
        auto* level = Control<QComboBox>(Page(kAdvancedPage), "combo147");
        const hart::CTransmitter& m = world_->Doc().Transmitter();
        {
            NumericLocale c("C");
            Type(lower, "1a2.3.4");
            QCOMPARE(lower->text(), QString("12.34"));
            QCOMPARE(m.GetLowerRange(), 12.34f);
            Type(lower, "-5.5");
            QCOMPARE(lower->text(), QString("-5.5"));
            Type(damping, "-1.5");
            QCOMPARE(damping->text(), QString("1.5"));
            QCOMPARE(m.GetDamping(), 1.5f);
            Choose(level, 1); // a preset
            QCOMPARE(m.GetLowAlarm(), 3.5f);
        }
        NumericLocale russian("ru_RU.UTF-8");
        if (!russian.ok()) QSKIP("ru_RU.UTF-8 is not installed");
        Type(lower, "1a2,3,4");
        QCOMPARE(lower->text(), QString("12,34"));
        QCOMPARE(m.GetLowerRange(), 12.34f);
        Type(lower, "-7.5"); // the full stop is not this locale's separator
        QCOMPARE(lower->text(), QString("-75"));
        Type(level->lineEdit(), "3.75");
        QCOMPARE(level->currentText(), QString("375"));
        QCOMPARE(m.GetLowAlarm(), 375.0f);
    }

    void theTagTakesPackedAsciiInUpperCaseAndEightAtMost() {
        auto* tag = Control<QLineEdit>(page_, "edit123");
        Type(tag, "ab");
        QCOMPARE(tag->text(), QString("AB"));
        QCOMPARE(world_->Doc().Transmitter().GetTag(), std::u16string(u"AB"));
        Keys(tag, QString::fromUtf8("ж"));
        QCOMPARE(tag->text(), QString("AB"));
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kInvalidCharacter});
        QCOMPARE(modal::Log().back().text, QString::fromUtf8("Неверный символ Ж"));
        Type(tag, "ABCDEFGHIJ");
        QCOMPARE(tag->text(), QString("ABCDEFGH"));
        QCOMPARE(world_->Doc().Transmitter().GetTag(), std::u16string(u"ABCDEFGH"));
    }

    void dampingAbove32IsSaidWhenTheFieldIsLeft() {
        world_->Window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&world_->Window()));
        auto* damping = Control<QLineEdit>(page_, "edit143");
        for (const auto& [typed, said] : {std::pair{"32.9", false}, std::pair{"33", true}}) {
            modal::Reset();
            modal::SetScripted(true);
            damping->setFocus(Qt::OtherFocusReason);
            Type(damping, typed);
            Control<QLineEdit>(page_, "edit123")->setFocus(Qt::TabFocusReason);
            QCOMPARE(modal::LoggedIds() == std::vector<int>{str::kDampingOutOfRange}, said);
            QCOMPARE(world_->Doc().Transmitter().GetDamping(), std::stof(typed)); // kept
        }
    }

    void theBasicSendButtonsChecksInOrder() {
        // As chosen and typed: list entries (0: empty; sensor 1 is PT100, units 1 °C and 4 °K).
        const struct {
            int sensor, connection, units;
            const char *a, *b;
            int said; // 0: sent
        } cases[] = {
            {0, 0, 1, "", "", 1263},
            {1, 0, 0, "", "", 1264},
            {0, 1, 0, "", "", 1265},
            {1, 2, 1, "0", "", 1266},
            {1, 2, 1, "", "100", 1267},
            {1, 2, 1, "10", "10.005", 1268},
            {1, 2, 0, "0", "100", 1269},
            {1, 2, 4, "73.144", "300", 1270},
            {1, 2, 1, "0", "850.006", 1271},
            {1, 2, 4, "73.146", "300", 0},
            {0, 0, 0, "", "", 0},
        };
        for (const auto& c : cases) {
            modal::Reset();
            modal::SetScripted(true);
            modal::PushAnswer(hart::UserAnswer::Ok); // "the output will change": go on
            Choose(Control<QComboBox>(page_, "combo125"), c.sensor);
            Choose(Control<QComboBox>(page_, "combo127"), c.connection);
            Choose(Control<QComboBox>(page_, "combo129"), c.units);
            Type(Control<QLineEdit>(page_, "edit131"), c.a);
            Type(Control<QLineEdit>(page_, "edit134"), c.b);
            QTest::mouseClick(static_cast<CBasicPropPage*>(page_)->SendButton(), Qt::LeftButton);
            WaitIdle(*world_);
            const std::vector<int> ids = modal::LoggedIds();
            QVERIFY(!ids.empty());
            if (c.said)
                QCOMPARE(ids, std::vector<int>{c.said});
            else
                QCOMPARE(ids.front(), str::kLoopOutputWillChange); // the document's send began
        }
    }

    void theAdvancedSendButtonsChecksInOrder() {
        hart::CTransmitter& m = world_->Doc().Transmitter();
        auto* page = static_cast<CAdvancedPropPage*>(Page(kAdvancedPage));
        const float nan = NotANumber;
        const struct {
            float la, ha, ls, hs;
            int said;
        } cases[] = {
            {3.50f, nan, nan, nan, 1253},        {3.40f, 21.0f, 3.70f, 20.5f, 1254},
            {3.80f, 21.0f, 3.90f, 20.5f, 1255},  {3.60f, 21.0f, 3.60f, 20.5f, 1256},
            {3.75f, 21.0f, 3.80f, 20.5f, 1257},  {3.50f, 21.0f, 3.95f, 20.5f, 1258},
            {3.50f, 21.0f, 3.70f, 20.4f, 1259},  {3.50f, 21.0f, 3.70f, 21.0f, 1260},
            {3.50f, 20.99f, 3.70f, 20.5f, 1261}, {3.50f, 23.1f, 3.70f, 20.5f, 1262},
            {3.75f, 21.0f, 3.85f, 20.5f, 0},     {3.50f, 21.0f, 3.70f, 20.5f, 0},
        };
        for (const auto& c : cases) {
            modal::Reset();
            modal::SetScripted(true);
            m.SetLowAlarm(c.la);
            m.SetHighAlarm(c.ha);
            m.SetLowSaturation(c.ls);
            m.SetHighSaturation(c.hs);
            world_->Doc().UpdateAllViews(hart::kHintData);
            QTest::mouseClick(page->SendButton(), Qt::LeftButton);
            WaitIdle(*world_);
            const std::vector<int> ids = modal::LoggedIds();
            QVERIFY(!ids.empty());
            if (c.said)
                QCOMPARE(ids, std::vector<int>{c.said});
            else
                QCOMPARE(ids.back(), str::kSendComplete);
        }
        // "Низкий" explains itself first and is stored all the same.
        modal::Reset();
        modal::SetScripted(true);
        Choose(Control<QComboBox>(page, "combo145"), 2);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kLowAlarmTypeNote});
        QCOMPARE(m.GetAlarmType(), 1);
    }

    void aRejectedValueIsYellowAndNothingElseIsLost() {
        world_->Window().RunCommand(kCmdReadDevice);
        WaitIdle(*world_);
        modal::Reset();
        modal::SetScripted(true);
        Type(Control<QLineEdit>(page_, "edit123"), "NEW-TAG");
        Type(Control<QLineEdit>(page_, "edit143"), "33"); // the transmitter takes 32 s at most
        modal::PushAnswer(hart::UserAnswer::Ok);
        QTest::mouseClick(static_cast<CBasicPropPage*>(page_)->SendButton(), Qt::LeftButton);
        WaitIdle(*world_);
        QVERIFY(world_->Doc().Transmitter().GetFieldError(Field::Damping));
        QCOMPARE(Control<CMyColorEdit>(page_, "edit143")->BackgroundColor(), kHighlightBackground);
        QCOMPARE(Control<CMyColorEdit>(page_, "edit143")->text(), QString("33.0"));
        QCOMPARE(Control<CMyColorEdit>(page_, "edit123")->BackgroundColor(), kNormalBackground);
        QCOMPARE(Control<QLineEdit>(page_, "edit123")->text(), QString("NEW-TAG"));
        QCOMPARE(world_->Window().View().Tabs()->currentIndex(), int(kBasicPage));
        // The report prints what the pages show, typed and not yet sent included.
        Type(Control<QLineEdit>(page_, "edit134"), "99");
        const ReportContent report = world_->Window().View().ReportValues();
        QCOMPARE(report.sections[0][0].value, std::string("NEW-TAG"));
        QCOMPARE(report.sections[0][4].value, std::string("99"));
        QCOMPARE(report.sections[0][4].unit, std::string("°C"));
        QCOMPARE(report.sections[1][1].value, std::string("3.60"));
    }

    void toolTipsNameTheirControls() {
        const struct {
            int page;
            const char* control;
            int tip;
        } cases[] = {
            {kBasicPage, "edit123", str::kTipTag},
            {kBasicPage, "edit143", 1218},
            {kBasicPage, "label141", 1217},
            {kAdvancedPage, "combo145", str::kTipAlarmType},
            {kAdvancedPage, "combo157", 1225},
            {kInformationPage, "button194", 1236},
            {kInformationPage, "edit180", str::kTipDate},
            {kCalibrationPage, "combo1257", str::kTipCalUnits},
            {kCalibrationPage, "button1266", str::kTipSensorCalibration},
            {kCalibrationPage, "button1248", 1325},
        };
        for (const auto& c : cases)
            QVERIFY2(Control(Page(c.page), c.control)->toolTip().contains(Text(c.tip).toHtmlEscaped()),
                     c.control);
    }

    void aTransmitterThatStopsAnsweringDuringASendLeavesThePageUsable() {
        delete world_;
        world_ = new TestWorld;
        TestWorld::BriefClock brief;
        world_->clock = &brief;
        QVERIFY(!world_->Start().has_value());
        page_ = Page(kBasicPage);
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        Type(Control<QLineEdit>(page_, "edit123"), "LOST");
        modal::PushAnswer(hart::UserAnswer::Ok);
        QTest::mouseClick(static_cast<CBasicPropPage*>(page_)->SendButton(), Qt::LeftButton);
        WaitIdle(*world_);
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kLoopOutputWillChange, str::kSensorNotFound}));
        QVERIFY(static_cast<CBasicPropPage*>(page_)->SendButton()->isEnabled());
        QVERIFY(world_->Window().Action(kCmdSendBasic)->isEnabled());
        QCOMPARE(Control<QLineEdit>(page_, "edit123")->text(), QString("LOST")); // nothing lost
        delete world_;                                                           // before the clock
        world_ = nullptr;
    }
};

} // namespace

std::unique_ptr<QObject> MakePagesTest() {
    return std::make_unique<PagesTest>();
}

} // namespace zelhart::ui::testing

#include "pages_test.moc"
