// The port settings dialog over ports the test makes as pseudo-terminals: the listing, busy marks,
// selection and confirm rules, a port that vanished, and the main window storing the choice so that
// the next operation uses the new port.
#include "ui_tests.h"

#include "modal.h"
#include "port_dialog.h"
#include "qt_text.h"
#include "test_world.h"
#include "view.h"

#include "temp_dir.h"

#include "hart/strings.h"

#include <zelhart/platform/serial_port.h>

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>

namespace zelhart::ui::testing {
namespace {

namespace str = hart::str;

class Pty {
  public:
    Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ >= 0) {
            ::grantpt(master_);
            ::unlockpt(master_);
        }
    }
    ~Pty() { Close(); }
    bool ok() const { return master_ >= 0; }
    std::string path() const { return ::ptsname(master_); }
    void Close() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_;
};

// The user picks entry `index` of the list.
void Choose(CPortSettingsDialog& dialog, int index) {
    dialog.List()->setCurrentIndex(index);
    emit dialog.List()->activated(index);
}

QStringList Items(const QComboBox* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
    return items;
}

class PortDialogTest : public QObject {
    Q_OBJECT

    zelhart::testing::TempDir dir_;
    platform::SerialPortMapSources sources_;
    std::deque<Pty> ptys_;

    Pty& AddPort(int number) {
        ptys_.emplace_back();
        platform::RegisterComPort(sources_.portsDir, number, ptys_.back().path());
        return ptys_.back();
    }
    CPortSettingsDialog::Ports Ports() const {
        const auto sources = sources_;
        return {[sources] { return ListPortEntries(sources); },
                [sources](int number) { return PortStillPresent(number, sources); }};
    }
    static QString Busy(const QString& name) { return name + Text(str::kPortBusyMark); }
    // The test's ports are pseudo-terminals behind explicit links: simulated ports.
    static QString Sim(const char* name) { return QString(name) + Text(str::kPortSimulatedMark); }

  private slots:
    void init() {
        modal::Reset();
        modal::SetScripted(true);
        ptys_.clear();
        sources_ = {};
        sources_.portsDir = dir_ / ("ports" + std::to_string(std::rand()));
    }

    void listsPortsSortedAsTextWithBusyMarks() {
        AddPort(2);
        Pty& ten = AddPort(10);
        AddPort(1);
        QVERIFY(ten.ok());
        platform::ExclusiveSerialPort holder;
        QCOMPARE(holder.Open(ten.path()), 0);
        CPortSettingsDialog dialog(2, Ports());
        QCOMPARE(dialog.windowTitle(), QString("Установки порта"));
        QCOMPARE(Items(dialog.List()), (QStringList{Sim("COM1"), Busy(Sim("COM10")), Sim("COM2")}));
        QCOMPARE(dialog.List()->currentIndex(), 2); // the stored port
        QVERIFY(dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.OkButton()->text(), QString("Продолжить"));
        QCOMPARE(dialog.PortNumber(), 2);
    }

    void busyPortsCannotBeConfirmedAndMarksAreFreshOnEachSelection() {
        AddPort(1);
        Pty& two = AddPort(2);
        auto holder = std::make_unique<platform::ExclusiveSerialPort>();
        QCOMPARE(holder->Open(two.path()), 0);
        CPortSettingsDialog dialog(-1, Ports());
        // Nothing stored and the last entry busy: nothing to confirm yet.
        QCOMPARE(dialog.List()->currentIndex(), 1);
        QVERIFY(!dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.PortNumber(), -1);
        Choose(dialog, 0);
        QVERIFY(dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.PortNumber(), 1);
        Choose(dialog, 1);
        QVERIFY(!dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.PortNumber(), 1);
        holder.reset(); // COM2 is free now
        Choose(dialog, 0);
        Choose(dialog, 1);
        QCOMPARE(dialog.List()->currentText(), Sim("COM2"));
        QVERIFY(dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.PortNumber(), 2);
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void aPortThatVanishedBeforeConfirmingIsRefused() {
        AddPort(1);
        Pty& two = AddPort(2);
        CPortSettingsDialog dialog(1, Ports());
        Choose(dialog, 1);
        QCOMPARE(dialog.PortNumber(), 2);
        two.Close(); // the adapter is pulled out
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected)); // still open
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kPortVanished});
        QCOMPARE(modal::Log().back().text, Text(str::kPortVanished).arg("COM2"));
        QCOMPARE(dialog.PortNumber(), 1); // the previous port
        QCOMPARE(Items(dialog.List()), QStringList{Sim("COM1")});
    }

    void aStoredPortThatIsGoneIsConfirmedAsItIs() {
        AddPort(1);
        CPortSettingsDialog dialog(5, Ports());
        QCOMPARE(dialog.List()->currentIndex(), 0); // the last entry stays selected
        QCOMPARE(dialog.PortNumber(), 5);
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.PortNumber(), 5);
    }

    void noPortsAtAll() {
        CPortSettingsDialog dialog(-1, Ports());
        QCOMPARE(dialog.List()->count(), 0);
        QVERIFY(dialog.OkButton()->isEnabled());
        QCOMPARE(dialog.PortNumber(), -1);
    }

    void theChosenPortIsStoredAndUsedByTheNextOperation() {
        TestWorld world;
        world.AddPort(7);
        QVERIFY(!world.Start().has_value());
        ::unlink((world.dir / "run/ports/COM1").c_str()); // COM1 is gone
        modal::PushDialog([](QDialog& d) {
            auto& dialog = static_cast<CPortSettingsDialog&>(d);
            Choose(dialog, dialog.List()->findText("COM7"));
            dialog.accept();
            return dialog.result();
        });
        world.Window().RunCommand(kCmdPortSettings);
        QCOMPARE(world.settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, -1), 7);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 20000); // the link released
        world.Window().RunCommand(kCmdReadDevice);
        QTRY_VERIFY_WITH_TIMEOUT(!world.app->Runner().Busy(), 30000);
        QCOMPARE(modal::LoggedIds(), std::vector<int>{str::kReceiveComplete}); // read through COM7
        QCOMPARE(world.Doc().Transmitter().GetTag(), std::u16string(u"TT-101  "));

        // Cancelled, or confirmed without a port: nothing is stored.
        modal::PushDialog([](QDialog&) { return int(QDialog::Rejected); });
        world.Window().RunCommand(kCmdPortSettings);
        QCOMPARE(world.settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, -1), 7);
    }
};

} // namespace

std::unique_ptr<QObject> MakePortDialogTest() {
    return std::make_unique<PortDialogTest>();
}

} // namespace zelhart::ui::testing

#include "port_dialog_test.moc"
