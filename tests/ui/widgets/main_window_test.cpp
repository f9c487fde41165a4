// The real main window driven as a user would: menus and their rules, the caption, the view's hint
// and tab rules on the real controls, opening, saving, dropping files, fitting a small screen, and
// a whole read against the simulator's transmitter with the window alive and held meanwhile.
#include "ui_tests.h"

#include "core/window_fit.h"
#include "modal.h"
#include "pages/advanced_page.h"
#include "pages/basic_page.h"
#include "pages/cal_page.h"
#include "pages/info_page.h"
#include "controls.h"
#include "qt_text.h"
#include "test_world.h"
#include "view.h"
#include "page_helpers.h"

#include "hart/strings.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <set>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

QStringList MenuTexts(const QMenuBar* bar) {
    QStringList texts;
    for (QAction* menu : bar->actions()) {
        texts << menu->text();
        for (QAction* item : menu->menu()->actions())
            texts << (item->isSeparator() ? QString("-") : item->isVisible() ? item->text() : QString());
    }
    texts.removeAll(QString());
    return texts;
}

void ClickTab(CLrxView& view, int tab) {
    QTabBar* bar = view.Tabs()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
}

// The tag the transmitter holds, read by a document of its own.
std::string TransmitterTag(TestWorld& world) {
    struct Quiet : hart::IUserInterface {
        void ShowMessage(int, std::string_view, hart::MessageIcon) override {}
        hart::UserAnswer AskUser(int, std::string_view, hart::MessageButtons, hart::MessageIcon) override {
            return hart::UserAnswer::Cancel;
        }
        void BeginWaitCursor() override {}
        void EndWaitCursor() override {}
    } ui;
    struct NoWait : hart::IProgressWait {
        void Wait(hart::ProgressWaitMode) override {}
    } wait;
    hart::CLrxDoc doc(world.settings, ui, wait);
    if (!doc.CheckConnection(false) || !doc.Transmitter().ReadTagAndSensor()) return {};
    std::string tag;
    for (char16_t c : doc.Transmitter().GetTag())
        if (c != u' ') tag += char(c);
    return tag;
}

void Drop(QWidget& target, const QString& file) {
    QMimeData data; // as a file manager drags it: the file's address also as text
    data.setUrls({QUrl::fromLocalFile(file)});
    data.setText(QUrl::fromLocalFile(file).toString());
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(&target, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(&target, &drop);
}

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void startsWithAnEmptyDocumentAndTheMenus() {
        TestWorld world;
        QVERIFY(!world.Start().has_value());
        CLrxPcMainWin& w = world.Window();
        QVERIFY(w.isVisible());
        QCOMPARE(w.windowTitle(), QString("Untitled - Программа конфигурации Корвел-4810"));
        QCOMPARE(world.Doc().GetCleared(), 1);
        QCOMPARE(MenuTexts(w.menuBar()),
                 (QStringList{"&Файл", "&Новый\tCtrl+N", "&Открыть...\tCtrl+O", "&Сохранить\tCtrl+S",
                              "Сохранить &как...", "-", "Недавние файлы", "-", "В&ыход", "&Соединение",
                              "&Загрузить из устройства", "-", "&Отправить основные настройки",
                              "Отправить дополнительные настройки", "-", "Настройки &порта",
                              "Проверить соединение", "Справка", "О программе..."}));
        QCOMPARE(w.Action(kCmdNew)->shortcut(), QKeySequence("Ctrl+N"));
        QCOMPARE(w.Action(kCmdOpen)->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(w.Action(kCmdSave)->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(w.Action(kCmdReadDevice)->statusTip(), QString("Чтение данных с подключенного датчика"));
        QCOMPARE(w.Action(kCmdReadDevice)->toolTip(), QString("Загрузка"));
        QCOMPARE(w.Action(kCmdPortSettings)->statusTip(), QString("Изменение настроек COM порта для модема"));
        QVERIFY(!w.Action(kCmdRecentFile)->isEnabled()); // "Недавние файлы" greyed while empty
        QVERIFY(w.findChild<QStatusBar*>() == nullptr);
        // The form: template 104 in the font's dialog units, the frame fitted to it.
        CLrxView& view = w.View();
        const DialogBaseUnits units = view.BaseUnits();
        QCOMPARE(view.size(), QSize(DluToPixelsX(kFormWidthDlu, units), DluToPixelsY(kFormHeightDlu, units)));
        QCOMPARE(w.size(), QSize(view.width(), view.height() + w.menuBar()->sizeHint().height()));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(view.Tabs()->count(), 4);
        QCOMPARE(view.Tabs()->tabText(3), QString("Калибровка"));
        QCOMPARE(view.OpenButton()->text(), QString("Открыть из файла"));
        QVERIFY(view.OpenButton()->toolTip().contains("Укажите файл для загрузки"));
        QVERIFY(view.LoadButton()->toolTip().contains("Чтение данных из подключенного устройства Корвел-4810"));
        QCOMPARE(view.ProgressBar()->maximum(), 100);
        QVERIFY(view.Page(kBasicPage)->isVisible());
        QVERIFY(!view.Page(kAdvancedPage)->isVisible());
        QVERIFY(view.Tabs()->geometry().contains(view.Page(kBasicPage)->geometry()));
    }

    void tabChangesSwitchTheOpenButtonButHintsDoNot() {
        TestWorld world;
        world.Start();
        CLrxView& view = world.Window().View();
        const struct {
            int tab;
            bool open;
        } clicks[] = {{2, false}, {1, true}, {3, false}, {0, true}};
        for (const auto& c : clicks) {
            ClickTab(view, c.tab);
            QCOMPARE(view.Tabs()->currentIndex(), c.tab);
            QVERIFY(view.Page(c.tab)->isVisible());
            QCOMPARE(view.OpenButton()->isEnabled(), c.open);
        }
        // Hint 1 shows the information page whatever was selected; the open button keeps its state.
        world.Doc().OnRefreshCommand();
        QCOMPARE(view.Tabs()->currentIndex(), int(kInformationPage));
        QVERIFY(view.Page(kInformationPage)->isVisible());
        QVERIFY(!view.Page(kBasicPage)->isVisible());
        QVERIFY(view.OpenButton()->isEnabled());
        // A field the transmitter rejected on the advanced page selects that tab.
        world.Doc().Transmitter().SetFieldError(Field::LowAlarm, true);
        world.Doc().UpdateAllViews(hart::kHintData);
        QCOMPARE(view.Tabs()->currentIndex(), int(kAdvancedPage));
        QVERIFY(view.Page(kAdvancedPage)->isVisible());
        auto* page = view.Page(kAdvancedPage);
        QVERIFY(page->findChild<CColorComboBox*>("combo147")->Highlighted()); // "Нижний уровень аварии"
        QVERIFY(!page->findChild<CColorComboBox*>("combo149")->Highlighted());
        // Hints 6 and 5: the tabs and the load button, and the commands that use the link.
        world.Doc().UpdateAllViews(hart::kHintProcedureStarted);
        QVERIFY(!view.Tabs()->isEnabled());
        QVERIFY(!view.LoadButton()->isEnabled());
        QVERIFY(!world.Window().Action(kCmdReadDevice)->isEnabled());
        world.Doc().UpdateAllViews(hart::kHintProcedureEnded);
        QVERIFY(view.Tabs()->isEnabled());
        QVERIFY(world.Window().Action(kCmdReadDevice)->isEnabled());
        // Hints 4 and 3: the pages' action controls.
        world.Doc().UpdateAllViews(hart::kHintOperationStarted);
        QVERIFY(!static_cast<CBasicPropPage*>(view.Page(kBasicPage))->SendButton()->isEnabled());
        QVERIFY(!static_cast<CInfoPropertyPage*>(view.Page(kInformationPage))->MonitorButton()->isEnabled());
        for (QWidget* control : static_cast<CCalPropPage*>(view.Page(kCalibrationPage))->ActionControls())
            QVERIFY(!control->isEnabled());
        QVERIFY(!view.OpenButton()->isEnabled()); // tab 1 selected
        world.Doc().UpdateAllViews(hart::kHintOperationEnded);
        QVERIFY(static_cast<CAdvancedPropPage*>(view.Page(kAdvancedPage))->SendButton()->isEnabled());
        QVERIFY(view.OpenButton()->isEnabled());
    }

    void openCancelledLeavesAClearedDocument() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        world.Start({file});
        QCOMPARE(world.Doc().GetCleared(), 0);
        QCOMPARE(world.Window().windowTitle(), QString("known.4810 - Программа конфигурации Корвел-4810"));
        modal::PushFileName(QString()); // the file dialog is cancelled
        QTest::mouseClick(world.Window().View().OpenButton(), Qt::LeftButton);
        QCOMPARE(modal::Log().back().kind, modal::Kind::OpenFile);
        QCOMPARE(world.Doc().GetCleared(), 1);
        QCOMPARE(world.Doc().Transmitter().GetSensorType(), 251);
        QVERIFY(IsNotSet(world.Doc().Transmitter().GetDamping()));
        QCOMPARE(world.Window().windowTitle(), QString("Untitled - Программа конфигурации Корвел-4810"));
    }

    void saveIsEnabledForANewOrModifiedDocumentOnly() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        world.Start();
        CLrxPcMainWin& w = world.Window();
        QVERIFY(w.Action(kCmdSave)->isEnabled()); // new: never saved
        QVERIFY(w.OpenDocumentFile(file));
        QVERIFY(!w.Action(kCmdSave)->isEnabled()); // opened, unmodified
        QVERIFY(!w.Action(kCmdSaveAs)->isEnabled());
        world.Doc().Transmitter().SetDamping(4.0f); // an edit marks it
        QVERIFY(w.Action(kCmdSave)->isEnabled());
        w.Action(kCmdSave)->trigger();
        QVERIFY(!w.Action(kCmdSave)->isEnabled());
        for (const modal::Record& r : modal::Log())
            QVERIFY(r.kind != modal::Kind::SaveFile); // saved to its own file without a dialog
        // The recent-file list holds it.
        QVERIFY(w.Action(kCmdRecentFile)->isEnabled());
        QVERIFY(w.Action(kCmdRecentFile)->text().endsWith("known.4810"));
        // New: a modified document asks first; "Cancel" keeps it.
        world.Doc().Transmitter().SetDamping(5.0f);
        modal::PushAnswer(hart::UserAnswer::Cancel);
        w.Action(kCmdNew)->trigger();
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kAskToSave});
        QCOMPARE(world.Doc().Transmitter().GetDamping(), 5.0f);
        modal::PushAnswer(hart::UserAnswer::No);
        w.Action(kCmdNew)->trigger();
        QCOMPARE(world.Doc().GetCleared(), 1);
        // Save As of the new document: the name gets the extension.
        modal::PushFileName(QString::fromStdString(world.dir / "copy"));
        w.Action(kCmdSaveAs)->trigger();
        QCOMPARE(world.Doc().GetPathName(), world.dir / "copy.4810");
        QCOMPARE(w.windowTitle(), QString("copy.4810 - Программа конфигурации Корвел-4810"));
    }

    void droppedConfigurationFilesAreOpened() {
        TestWorld world;
        const QString file = world.SavedConfiguration();
        world.Start();
        Drop(world.Window(), QString::fromStdString(world.dir / "notes.txt"));
        QCOMPARE(world.Doc().GetCleared(), 1); // not a .4810 file: ignored
        Drop(world.Window(), file);
        QCOMPARE(world.Doc().GetPathName(), file.toStdString());
        QCOMPARE(world.Window().View().Page(kBasicPage)->findChild<CMyColorEdit*>("edit123")->text(), QString("TT-101"));
        // Dropped on a field, the file is opened too and the field keeps its value.
        CLrxView& view = world.Window().View();
        for (QWidget* field : {static_cast<QWidget*>(view.Page(kBasicPage)->findChild<CMyColorEdit*>("edit123")),
                               static_cast<QWidget*>(view.Page(kAdvancedPage)->findChild<QComboBox*>("combo147")->lineEdit())}) {
            world.Doc().OnNewDocument();
            Drop(*field, file);
            QCOMPARE(world.Doc().GetPathName(), file.toStdString());
            QVERIFY(!world.Doc().IsModified());
            QCOMPARE(view.Page(kBasicPage)->findChild<CMyColorEdit*>("edit123")->text(), QString("TT-101"));
        }
    }

    void theFormLooksAsMeant() {
        TestWorld world;
        world.Start();
        CLrxView& view = world.Window().View();
        // The buttons hold their texts with the style's margins, side by side.
        auto* open = view.findChild<QPushButton*>("button188");
        QVERIFY(view.LoadButton()->width() >= view.LoadButton()->sizeHint().width());
        QVERIFY(open->geometry().right() < view.LoadButton()->geometry().left());
        // The lamps are shown whole.
        ClickTab(view, kInformationPage);
        for (const char* lamp : {"lamp168", "lamp171"})
            QCOMPARE(view.InfoPage()->findChild<QWidget*>(lamp)->size(), QSize(20, 20));
        // File dialogs start where the last file was chosen, not in the working directory.
        const QString folder = QString::fromStdString(world.dir / "configs");
        QDir().mkpath(folder);
        modal::PushFileName(folder + "/first.4810");
        world.Window().Action(kCmdSaveAs)->trigger();
        world.Doc().OnNewDocument();
        modal::PushFileName({});
        world.Window().Action(kCmdSaveAs)->trigger();
        QCOMPARE(modal::Log().back().kind, modal::Kind::SaveFile);
        QCOMPARE(QFileInfo(modal::Log().back().text).absolutePath(), folder);
    }

    void aSmallScreenCutsTheWindow() {
        TestWorld world;
        world.Start();
        CLrxPcMainWin& w = world.Window();
        const QSize full = w.frameGeometry().size();
        w.FitToDesktop(QRect(0, 0, 1600, full.height() - 100)); // too low
        QCOMPARE(w.frameGeometry().top(), 0);
        QCOMPARE(w.frameGeometry().height(), full.height() - 100 - kTaskBarRoom);
        QCOMPARE(w.frameGeometry().width(), full.width() + kScrollBarRoom);
        w.FitToDesktop(QRect(0, 0, full.width() - 50, 2000)); // too narrow
        QCOMPARE(w.frameGeometry().left(), 0);
        QCOMPARE(w.frameGeometry().width(), full.width() - 50);
        QCOMPARE(w.frameGeometry().height(), full.height());
    }

    void aWholeReadKeepsTheWindowAliveAndHeld() {
        TestWorld world;
        world.Start();
        CLrxPcMainWin& w = world.Window();
        CLrxView& view = w.View();
        // Sample the progress bar as the event loop runs: only a live loop sees the steps.
        std::vector<int> seen;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            if (seen.empty() || seen.back() != view.ProgressBar()->value()) seen.push_back(view.ProgressBar()->value());
        });
        sampler.start(5);
        QTest::mouseClick(view.LoadButton(), Qt::LeftButton);
        QVERIFY(w.Held());
        QVERIFY(!w.Action(kCmdSave)->isEnabled());
        QVERIFY(!w.Action(kCmdOpen)->isEnabled());
        // Nothing in it looks as if it would act: menus, tabs, buttons, pages.
        QVERIFY(!w.menuBar()->isEnabled());
        QVERIFY(!view.Tabs()->isEnabled());
        QVERIFY(!view.OpenButton()->isEnabled() && !view.LoadButton()->isEnabled());
        QVERIFY(!view.Page(kBasicPage)->isEnabled());
        // Input does not reach the held window: a click on "Открыть из файла" opens nothing.
        QTest::mouseClick(view.OpenButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 30000);
        sampler.stop();
        QVERIFY(!w.Held());
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete});
        for (const modal::Record& r : modal::Log())
            QVERIFY(r.kind != modal::Kind::OpenFile);
        std::vector<int> steps;
        for (int v : seen)
            if (v > 0) steps.push_back(v);
        QVERIFY2(steps.size() >= 3, qPrintable(QString("progress seen: %1").arg(steps.size())));
        QVERIFY(std::is_sorted(steps.begin(), steps.end()));
        QCOMPARE(view.ProgressBar()->value(), 0);
        QCOMPARE(view.Page(kBasicPage)->findChild<CMyColorEdit*>("edit123")->text(), QString("TT-101"));
        QVERIFY(w.Action(kCmdSave)->isEnabled()); // read data is unsaved
        QCOMPARE(world.app->Ui().WaitCursorDepth(), 0);
        QVERIFY(w.menuBar()->isEnabled() && view.Tabs()->isEnabled() && view.OpenButton()->isEnabled());
        QVERIFY(view.Page(kBasicPage)->isEnabled());
    }

    void aReadCancelledAtNotFoundLeavesANewDocument() {
        TestWorld world;
        TestWorld::BriefClock brief; // "not found" after 4.5 s instead of 45
        world.clock = &brief;
        const QString file = world.SavedConfiguration();
        QVERIFY(!world.Start({file}).has_value());
        ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
        modal::PushAnswer(hart::UserAnswer::Yes); // the file's data would be lost
        modal::PushAnswer(hart::UserAnswer::Cancel);
        world.Window().RunCommand(kCmdReadDevice);
        WaitIdle(world);
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kDataWillBeLost, str::kSensorNotFound}));
        QCOMPARE(world.Doc().GetCleared(), 1);
        QVERIFY(world.Doc().GetPathName().empty());
        QCOMPARE(world.Window().windowTitle(), QString("Untitled - Программа конфигурации Корвел-4810"));
        world.app.reset(); // before the clock
    }

    // Closing during a send asks: "Да" waits for its end (everything reaches the transmitter), "Нет"
    // stops it after the current command; the save question follows either way, then the window closes.
    void closingDuringASendWaitsOrStopsItAsTheUserSays() {
        const struct {
            hart::UserAnswer answer;
            std::vector<int> asked;
            const char* tag; // on the transmitter afterwards
        } cases[] = {
            {hart::UserAnswer::Yes,
             {str::kLoopOutputWillChange, str::kOperationRunsOnClose, str::kSendComplete, str::kAskToSave},
             "SENT-1"},
            {hart::UserAnswer::No, {str::kLoopOutputWillChange, str::kOperationRunsOnClose, str::kAskToSave}, "TT-101"},
        };
        for (const auto& c : cases) {
            TestWorld world;
            world.Start();
            CLrxPcMainWin& w = world.Window();
            world.Doc().Transmitter().SetTag(u"SENT-1");
            world.Doc().Transmitter().SetDamping(3.0f);
            modal::PushAnswer(hart::UserAnswer::Ok); // the output will change
            modal::PushAnswer(c.answer);
            modal::PushAnswer(hart::UserAnswer::No); // save changes?
            // Closed as soon as the first step has been sent.
            bool closed = false;
            QObject::connect(&w.View(), &CLrxView::stateChanged, &w, [&] {
                if (!closed && w.View().ProgressBar()->value() >= 20) {
                    closed = true;
                    QVERIFY(!w.close());
                }
            });
            w.RunCommand(kCmdSendBasic);
            QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 20000);
            QVERIFY(closed);
            QVERIFY(!world.app->Runner().Busy());
            QCOMPARE(modal::LoggedIds(), c.asked);
            QCOMPARE(QString::fromStdString(TransmitterTag(world)), QString(c.tag));
        }
    }
};

} // namespace

std::unique_ptr<QObject> MakeMainWindowTest() {
    return std::make_unique<MainWindowTest>();
}

} // namespace zelhart::ui::testing

#include "main_window_test.moc"
