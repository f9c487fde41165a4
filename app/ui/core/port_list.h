// The port dialog's list and rules, free of widgets.
//
// An entry is a port's COM name, followed by " (занят)" when another process holds the port at the
// moment of listing (the COM probe's test: a lock on the device, read without opening it). A
// simulated port (an explicit link to a pseudo-terminal: the simulator's, a test's) carries
// " (симулятор)" before that mark, so "COM201 (симулятор) (занят)". A port the driver daemon opened
// and found without modem-control lines (platform/modem_lines.h) carries " (нет линий управления
// модемом)" before the busy mark: "COM34 (нет линий управления модемом) (занят)".
// A remote port (served over HART-IP) is its COM name and its server's host: "COM300 (cabinet-1)".
// The list is sorted as text, so COM10 comes before COM2.
#pragma once

#include <zelhart/platform/serial_port_map.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::ui {

// The ports of the serial port map with their busy marks, sorted.
std::vector<std::string> ListPortEntries(const platform::SerialPortMapSources& sources);

// The number of an entry: the digits from the first digit on (COM12 (занят) -> 12); 0 without digits.
int PortNumberOfEntry(std::string_view entry);
// Whether the entry carries the busy mark.
bool IsBusyEntry(std::string_view entry);

// Whether COM<number> is still in the map with its device present.
bool PortStillPresent(int number, const platform::SerialPortMapSources& sources);

// The dialog's state and its selection and confirm rules.
class PortDialogLogic {
  public:
    using Lister = std::function<std::vector<std::string>()>;

    // `storedPort`: the stored setting, -1 when there is none.
    PortDialogLogic(Lister lister, int storedPort);

    // Opening: list the ports, then select the stored port's entry; without a stored port the last
    // entry, whose number is taken unless it is busy (then "Продолжить" is disabled).
    void Open();
    // The user selected entry `index`: list again (fresh busy marks), enable "Продолжить", select
    // the same index; a free entry's number (unless 0) becomes the port number, a busy one disables
    // "Продолжить".
    void SelectionChanged(int index);

    const std::vector<std::string>& Entries() const { return entries_; }
    int Selected() const { return selected_; } // -1: none
    bool OkEnabled() const { return okEnabled_; }
    int PortNumber() const { return portNumber_; } // -1 until a port is known

  private:
    Lister lister_;
    int storedPort_;
    std::vector<std::string> entries_;
    int selected_ = -1;
    bool okEnabled_ = true;
    int portNumber_ = -1;
};

} // namespace zelhart::ui
