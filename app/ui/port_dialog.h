// CPortSettingsDialog ("Установки порта"): the serial ports of the port map, busy ones marked, and
// the chosen port's number. It writes nothing itself; the main window stores the number and
// releases the link when the user confirms.
//
// A port chosen in the dialog whose device went away before "Продолжить" cannot be confirmed: the
// dialog says so, lists the ports again and keeps the stored port.
#pragma once

#include "core/port_list.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QPushButton;

namespace zelhart::ui {

class CPortSettingsDialog : public QDialog {
    Q_OBJECT
  public:
    struct Ports {
        std::function<std::vector<std::string>()> list; // the entries, busy marks included
        std::function<bool(int number)> present;         // COM<number> still there
    };
    // The ports of the running system.
    static Ports SystemPorts();

    // `storedPort`: "General"/"PortSettings", -1 when not stored.
    CPortSettingsDialog(int storedPort, Ports ports, QWidget* parent = nullptr);

    // The chosen port, -1 when none was determined.
    int PortNumber() const { return logic_.PortNumber(); }

    QComboBox* List() const { return list_; }
    QPushButton* OkButton() const { return ok_; }

  public slots:
    void accept() override;

  private:
    void OnSelectionChanged(int index);
    void Show(); // the logic's entries, selection and button state onto the controls

    Ports ports_;
    int storedPort_;
    PortDialogLogic logic_;
    QComboBox* list_;
    QPushButton* ok_;
};

} // namespace zelhart::ui
