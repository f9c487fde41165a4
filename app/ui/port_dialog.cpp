#include "port_dialog.h"

#include "modal.h"
#include "qt_text.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

namespace zelhart::ui {

namespace str = hart::str;

CPortSettingsDialog::Ports CPortSettingsDialog::SystemPorts() {
    return {[] { return ListPortEntries(platform::DefaultSerialPortMapSources()); },
            [](int number) { return PortStillPresent(number, platform::DefaultSerialPortMapSources()); }};
}

CPortSettingsDialog::CPortSettingsDialog(int storedPort, Ports ports, QWidget* parent)
    : QDialog(parent), ports_(std::move(ports)), storedPort_(storedPort), logic_(ports_.list, storedPort), list_(new QComboBox(this)),
      ok_(new QPushButton(Text(str::kPortDialogOk), this)) {
    setObjectName("CPortSettingsDialog");
    setWindowTitle(Text(str::kPortDialogCaption));
    list_->setObjectName("list180");
    ok_->setObjectName("button1");
    ok_->setDefault(true);
    auto* cancel = new QPushButton(Text(str::kPortDialogCancel), this);
    cancel->setObjectName("button2");

    auto* group = new QGroupBox(Text(str::kPortDialogGroup), this);
    auto* groupLayout = new QGridLayout(group);
    groupLayout->addWidget(new QLabel(Text(str::kPortDialogLabel), group), 0, 0);
    groupLayout->addWidget(list_, 0, 1);
    list_->setMinimumContentsLength(12);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(ok_, &QPushButton::clicked, this, &CPortSettingsDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    // Every choice of the user counts, also of the entry already selected (its busy mark may be stale).
    connect(list_, &QComboBox::activated, this, &CPortSettingsDialog::OnSelectionChanged);

    logic_.Open();
    Show();
}

void CPortSettingsDialog::Show() {
    const QSignalBlocker block(list_);
    list_->clear();
    for (const std::string& entry : logic_.Entries())
        list_->addItem(Qs(entry));
    list_->setCurrentIndex(logic_.Selected());
    ok_->setEnabled(logic_.OkEnabled());
}

void CPortSettingsDialog::OnSelectionChanged(int index) {
    logic_.SelectionChanged(index);
    Show();
}

void CPortSettingsDialog::accept() {
    // A port chosen here whose device went away since; the stored port is confirmed as it is.
    const int number = logic_.PortNumber();
    if (number > 0 && number != storedPort_ && !ports_.present(number)) {
        modal::Message(str::kPortVanished, Text(str::kPortVanished).arg(QStringLiteral("COM%1").arg(number)),
                       hart::MessageIcon::Warning, this);
        logic_.Open(); // fresh list, the stored port again
        Show();
        return;
    }
    QDialog::accept();
}

} // namespace zelhart::ui
