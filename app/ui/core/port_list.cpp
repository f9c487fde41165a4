#include "core/port_list.h"

#include "hart/strings.h"

#include <zelhart/platform/modem_lines.h>
#include <zelhart/platform/remote_port.h>
#include <zelhart/platform/serial_port.h>

#include <algorithm>
#include <charconv>
#include <sys/stat.h>

namespace zelhart::ui {

std::vector<std::string> ListPortEntries(const platform::SerialPortMapSources& sources) {
    const std::string_view busyMark = hart::LoadString(hart::str::kPortBusyMark);
    const std::string_view simulatedMark = hart::LoadString(hart::str::kPortSimulatedMark);
    const std::string_view noLinesMark = hart::LoadString(hart::str::kPortNoModemLinesMark);
    const std::string linesDir = platform::ModemLinesDir();
    std::vector<std::string> entries;
    for (const platform::SerialPortEntry& port : platform::ReadSerialPortMap(sources)) {
        std::string entry = port.comName;
        // A simulator's port says so: the user must not take it for the modem's.
        if (platform::IsSimulatedPort(port)) entry += simulatedMark;
        // The driver daemon opened it and found no modem lines: an RTS-keyed modem stays silent there.
        if (platform::LacksModemLines(linesDir, port.number, port.devicePath)) entry += noLinesMark;
        // The probe reads the locks of other holders and never opens the port. A port this user may
        // not open is not busy: the driver daemon opens it.
        const platform::PortProbe probe = platform::ProbeSerialDevice(port.devicePath);
        if (probe != platform::PortProbe::Free && probe != platform::PortProbe::NoAccess) entry += busyMark;
        entries.push_back(std::move(entry));
    }
    // A remote port with its server's host: "COM300 (cabinet-1)". Its server says whether it is busy.
    for (const platform::RemotePortEntry& port : platform::ReadRemotePorts(sources))
        entries.push_back(port.comName + " (" + port.endpoint.HostText() + ")");
    std::sort(entries.begin(), entries.end());
    return entries;
}

int PortNumberOfEntry(std::string_view entry) {
    const size_t digit = entry.find_first_of("0123456789");
    if (digit == std::string_view::npos) return 0;
    int number = 0;
    const auto [end, error] = std::from_chars(entry.data() + digit, entry.data() + entry.size(), number);
    (void)end;
    return error == std::errc() ? number : 0;
}

bool IsBusyEntry(std::string_view entry) {
    return entry.ends_with(hart::LoadString(hart::str::kPortBusyMark));
}

bool PortStillPresent(int number, const platform::SerialPortMapSources& sources) {
    const auto path = platform::LookupComPort(number, sources);
    struct stat st {};
    if (!path) return platform::LookupRemotePort(number, sources).has_value();
    return ::stat(path->c_str(), &st) == 0;
}

PortDialogLogic::PortDialogLogic(Lister lister, int storedPort)
    : lister_(std::move(lister)), storedPort_(storedPort) {}

void PortDialogLogic::Open() {
    entries_ = lister_();
    okEnabled_ = true;
    selected_ = -1;
    portNumber_ = storedPort_;
    if (entries_.empty()) return;
    selected_ = int(entries_.size()) - 1;
    if (storedPort_ == -1) {
        if (IsBusyEntry(entries_.back())) {
            okEnabled_ = false;
            return;
        }
        portNumber_ = PortNumberOfEntry(entries_.back());
        return;
    }
    const auto same = std::find_if(entries_.begin(), entries_.end(),
                                   [&](const std::string& e) { return PortNumberOfEntry(e) == storedPort_; });
    if (same != entries_.end()) selected_ = int(same - entries_.begin());
}

void PortDialogLogic::SelectionChanged(int index) {
    if (!entries_.empty()) entries_ = lister_();
    okEnabled_ = true;
    selected_ = index >= 0 && index < int(entries_.size()) ? index : -1;
    const std::string entry = selected_ >= 0 ? entries_[size_t(selected_)] : std::string();
    if (IsBusyEntry(entry)) {
        okEnabled_ = false;
        return;
    }
    const int number = PortNumberOfEntry(entry);
    if (number != 0) portNumber_ = number;
}

} // namespace zelhart::ui
