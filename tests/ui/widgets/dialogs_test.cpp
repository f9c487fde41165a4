// The question box's captions, the progress window's ticks, the painted controls, the hyperlink,
// the About box and the splash window.
#include "ui_tests.h"

#include "about_dialog.h"
#include "controls.h"
#include "hyperlink.h"
#include "modal.h"
#include "progress_dialog.h"
#include "qt_text.h"
#include "splash_dialog.h"

#include "temp_dir.h"

#include "hart/strings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <fstream>

namespace zelhart::ui::testing {
namespace {

using hart::MessageButtons;
using hart::MessageIcon;
namespace str = hart::str;

QStringList Captions(const QMessageBox& box) {
    QStringList captions;
    for (QAbstractButton* b : box.buttons())
        captions << b->text();
    captions.sort();
    return captions;
}

// PATH holds only a directory of the test's own: no desktop handler or browser but those it puts there.
class PathGuard {
  public:
    PathGuard() : old_(qgetenv("PATH")) { qputenv("PATH", QByteArray::fromStdString(dir.path())); }
    ~PathGuard() { qputenv("PATH", old_); }
    void AddProgram(const std::string& name, const std::string& script) {
        const std::string path = dir / name;
        std::ofstream(path) << script;
        ::chmod(path.c_str(), 0755);
    }
    zelhart::testing::TempDir dir;

  private:
    QByteArray old_;
};

class DialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        modal::Reset();
        modal::SetScripted(true);
    }

    void askUserCaptionsArePrograms() {
        const struct {
            MessageButtons buttons;
            QStringList captions;
        } cases[] = {
            {MessageButtons::Ok, {"Продолжить"}},
            {MessageButtons::OkCancel, {"Отмена", "Продолжить"}},
            {MessageButtons::YesNo, {"Да", "Нет"}},
            {MessageButtons::YesNoCancel, {"Да", "Нет", "Отмена"}},
            {MessageButtons::RetryCancel, {"Отмена", "Повторить"}},
        };
        for (const auto& c : cases) {
            const auto box = modal::MakeAskUserBox("?", c.buttons, MessageIcon::Question);
            QCOMPARE(Captions(*box), c.captions);
            QCOMPARE(box->windowTitle(), Text(str::kApplicationTitle));
        }
        QCOMPARE(modal::MakeAskUserBox("?", MessageButtons::Ok, MessageIcon::Stop)->icon(), QMessageBox::Critical);
    }

    void progressDialogTicks() {
        const struct {
            hart::ProgressWaitMode mode;
            int ticks;
            int text;
        } cases[] = {{hart::ProgressWaitMode::Calibration, 36, str::kCalibrationWait},
                     {hart::ProgressWaitMode::Reset, 7, str::kResetWait}};
        for (const auto& c : cases) {
            CProgressDialog dialog;
            dialog.SetMode(c.mode);
            dialog.Start();
            QCOMPARE(dialog.Label()->text(), Text(c.text));
            QCOMPARE(dialog.Bar()->maximum(), c.ticks - 1);
            std::vector<int> positions{dialog.Bar()->value()};
            while (!dialog.Closed() && dialog.Ticks() < 100) {
                dialog.Tick();
                if (!dialog.Closed()) positions.push_back(dialog.Bar()->value());
            }
            QCOMPARE(dialog.Ticks(), c.ticks);
            QCOMPARE(int(positions.size()), c.ticks); // 0 .. last, each once
            QCOMPARE(positions.back(), c.ticks - 1);
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
    }

    void progressDialogRunsOnItsTimerAndCannotBeClosedEarly() {
        CProgressDialog dialog(std::chrono::milliseconds(1));
        dialog.SetMode(hart::ProgressWaitMode::Reset);
        bool triedToClose = false;
        QTimer::singleShot(0, &dialog, [&] {
            dialog.reject();
            dialog.close();
            triedToClose = dialog.isVisible() && !dialog.Closed();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(triedToClose);
        QCOMPARE(dialog.Ticks(), 7);
    }

    void colouredControlsMarkRejectedValues() {
        CColorComboBox combo;
        combo.SetColors(kNormalText, kNormalBackground, kNormalText, kHighlightBackground);
        QCOMPARE(combo.palette().color(QPalette::Base), QColor(Qt::white));
        combo.SetHighlighted(true);
        QCOMPARE(combo.palette().color(QPalette::Base), QColor(255, 255, 0));
        QCOMPARE(combo.palette().color(QPalette::Text), QColor(Qt::black));
        combo.SetHighlighted(false);
        QCOMPARE(combo.palette().color(QPalette::Base), QColor(Qt::white));
        CMyColorEdit edit;
        edit.SetBackgroundColor(kHighlightBackground);
        QCOMPARE(edit.palette().color(QPalette::Base), QColor(255, 255, 0));
        // Disabled, both look as the style greys them.
        const QPalette style = QApplication::palette();
        for (QPalette::ColorRole role : {QPalette::Base, QPalette::Text}) {
            QCOMPARE(edit.palette().color(QPalette::Disabled, role), style.color(QPalette::Disabled, role));
            QCOMPARE(combo.palette().color(QPalette::Disabled, role), style.color(QPalette::Disabled, role));
        }
    }

    void lampsAreDrawnWithTheirCornerColourLeftOut() {
        for (Lamp lamp : {Lamp::Grey, Lamp::Red}) {
            const QPixmap bitmap = LampBitmap(lamp);
            QCOMPARE(bitmap.size(), QSize(20, 20));
            CTransparentImage image;
            image.SetBitmap(bitmap);
            image.resize(20, 20);
            QImage canvas(20, 20, QImage::Format_ARGB32);
            canvas.fill(QColor(0, 128, 0));
            image.render(&canvas);
            QCOMPARE(canvas.pixelColor(0, 0), QColor(0, 128, 0)); // the background shows through
            QCOMPARE(canvas.pixelColor(14, 14), lamp == Lamp::Red ? QColor(255, 0, 0) : QColor(128, 128, 128));
        }
    }

    void hyperlinkWithoutAnyHandlerSaysSo() {
        PathGuard path;
        CHyperLink link;
        link.SetURL("https://korvel.example/");
        QVERIFY(!link.GotoURL());
        QVERIFY(!link.Visited());
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kLinkCannotOpen});
        QCOMPARE(modal::Log().back().text, Text(str::kLinkCannotOpen) + Text(str::kLinkNoAssociation));
    }

    void hyperlinkStartsTheFallbackBrowserWithoutWaiting() {
        PathGuard path;
        const std::string opened = path.dir / "opened";
        path.AddProgram("x-www-browser", "#!/bin/sh\necho \"$1\" > " + opened + ".tmp\n/bin/mv " + opened + ".tmp " +
                                             opened + "\nexec /bin/sleep 5\n");
        CHyperLink link;
        link.SetURL("https://korvel.example/");
        QElapsedTimer timer;
        timer.start();
        QVERIFY(link.GotoURL());
        QVERIFY(timer.elapsed() < 4000); // the browser keeps running 5 s; the window does not wait
        QVERIFY(link.Visited());
        QCOMPARE(link.palette().color(QPalette::WindowText), CHyperLink::kVisitedColor);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QString::fromStdString(opened)), 20000);
        QFile file(QString::fromStdString(opened));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().trimmed(), QByteArray("https://korvel.example/"));
        QVERIFY(modal::Log().empty());
    }

    void hyperlinkToAMissingFileOrABrokenHandler() {
        PathGuard path;
        CHyperLink missing;
        missing.SetURL(QString::fromStdString(path.dir / "nothing.html"));
        QVERIFY(!missing.GotoURL());
        QCOMPARE(modal::Log().back().text, Text(str::kLinkCannotOpen) + Text(str::kLinkFileNotFound));

        modal::Reset();
        path.AddProgram("xdg-open", "#!/nonexistent/interpreter\n");
        CHyperLink broken;
        broken.SetURL("https://korvel.example/");
        QVERIFY(!broken.GotoURL());
        QCOMPARE(modal::LoggedIds(), (std::vector<int>{str::kCreateProcessFailed, str::kLinkCannotOpen}));
        QVERIFY(modal::Log().back().text.startsWith(Text(str::kLinkCannotOpen) + Text(str::kLinkUnknownError) + " ("));
    }

    void aboutBoxShowsTheBuildsVersionAndTheMakersLink() {
        CAboutDialog about;
        QCOMPARE(about.windowTitle(), QString("О программе..."));
        QCOMPARE(about.VersionLabel()->text(), QString("Версия: ") + ZELHART_VERSION);
        QCOMPARE(about.Link()->URL(), Text(str::kAboutLink));
        QCOMPARE(about.Link()->palette().color(QPalette::WindowText), CHyperLink::kLinkColor);
        QVERIFY(about.Link()->font().underline());
        QCOMPARE(about.Link()->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(about.Link()->toolTip(), Text(str::kAboutLink));
    }

    void splashClosesItselfOnceShown() {
        CSplashDlg splash;
        QCOMPARE(splash.exec(), int(QDialog::Accepted));
    }
};

} // namespace

std::unique_ptr<QObject> MakeDialogsTest() {
    return std::make_unique<DialogsTest>();
}

} // namespace zelhart::ui::testing

#include "dialogs_test.moc"
