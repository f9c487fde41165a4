// The port dialog's list (busy marks from the locks of other holders, sorted as text) and its rules, with
// ports the test makes as pseudo-terminals.
#include "core/port_list.h"

#include "open_watch.h"
#include "temp_dir.h"

#include "hart/strings.h"

#include <zelhart/platform/modem_lines.h>
#include <zelhart/platform/serial_port.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <memory>

namespace zelhart::ui {
namespace {

// A pseudo-terminal whose slave side stands for a serial port.
class Pty {
  public:
    Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) ADD_FAILURE() << "no pty";
    }
    ~Pty() { Close(); }
    std::string path() const { return ::ptsname(master_); }
    void Close() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_;
};

class PortListTest : public ::testing::Test {
  protected:
    PortListTest() { sources.portsDir = dir / "ports"; }
    Pty& AddPort(int number) {
        ptys.push_back(std::make_unique<Pty>());
        EXPECT_EQ(platform::RegisterComPort(sources.portsDir, number, ptys.back()->path()), 0);
        return *ptys.back();
    }
    std::vector<std::string> List() const { return ListPortEntries(sources); }
    static std::string Busy(const std::string& name) {
        return name + std::string(hart::LoadString(hart::str::kPortBusyMark));
    }
    // The test's ports are pseudo-terminals behind explicit links: simulated ports.
    static std::string Sim(const std::string& name) {
        return name + std::string(hart::LoadString(hart::str::kPortSimulatedMark));
    }

    testing::TempDir dir;
    platform::SerialPortMapSources sources;
    std::deque<std::unique_ptr<Pty>> ptys;
};

TEST_F(PortListTest, EntriesAreSortedAsTextAndMarkedBusyByTheExclusiveOpen) {
    EXPECT_TRUE(List().empty());
    AddPort(2);
    Pty& ten = AddPort(10);
    AddPort(1);
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(ten.path()), 0);
    EXPECT_EQ(List(), (std::vector<std::string>{Sim("COM1"), Busy(Sim("COM10")), Sim("COM2")}));
    holder.Close();
    EXPECT_EQ(List(), (std::vector<std::string>{Sim("COM1"), Sim("COM10"), Sim("COM2")}));
    EXPECT_EQ(List(), List()); // listing released every port again
}

// Listing reads the locks; it never opens a port (on a real one that raises and drops DTR and RTS).
TEST_F(PortListTest, ListingNeverOpensAPort) {
    Pty& one = AddPort(1);
    testing::OpenWatch opens(one.path());
    List();
    EXPECT_EQ(opens.Opens(), 0);
}

TEST_F(PortListTest, NumbersOfEntries) {
    EXPECT_EQ(PortNumberOfEntry("COM12"), 12);
    EXPECT_EQ(PortNumberOfEntry(Busy("COM12")), 12);
    EXPECT_EQ(PortNumberOfEntry("COM"), 0);
    EXPECT_EQ(PortNumberOfEntry(""), 0);
    EXPECT_TRUE(IsBusyEntry(Busy("COM3")));
    EXPECT_FALSE(IsBusyEntry("COM3"));
}

// Only a simulator's kind of port is marked: an explicit link to a pseudo-terminal. A real device,
// also one an administrator linked explicitly, and the static list's ports are not.
TEST_F(PortListTest, SimulatedPortsAreMarkedAndRealOnesAreNot) {
    Pty& sim = AddPort(201);
    const std::string device = dir / "ttyUSB0"; // stands for a real device: not a pseudo-terminal
    { std::ofstream(device) << ""; }
    ASSERT_EQ(platform::RegisterComPort(sources.portsDir, 4, device), 0);
    sources.portsConf = dir / "ports.conf";
    Pty statics;
    std::ofstream(sources.portsConf) << "COM5=" << statics.path() << "\n";
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(sim.path()), 0);
    EXPECT_EQ(List(), (std::vector<std::string>{Busy(Sim("COM201")), "COM4", "COM5"}));
    EXPECT_TRUE(IsBusyEntry(Busy(Sim("COM201"))));
    EXPECT_FALSE(IsBusyEntry(Sim("COM201")));
    EXPECT_EQ(PortNumberOfEntry(Busy(Sim("COM201"))), 201);
}

// A port the driver daemon found without modem-control lines is marked while its record names the
// device the map has for it now; the busy mark stays last.
TEST_F(PortListTest, PortsWithoutModemLinesAreMarkedByTheDaemonsRecord) {
    const char* was = std::getenv("ZELHART_RUNTIME_DIR");
    const std::string saved = was ? was : "";
    ::setenv("ZELHART_RUNTIME_DIR", dir.path().c_str(), 1);
    const std::string device = dir / "ttyUSB0"; // stands for a real adapter
    { std::ofstream(device) << ""; }
    ASSERT_EQ(platform::RegisterComPort(sources.portsDir, 34, device), 0);
    Pty& held = AddPort(201);
    platform::ExclusiveSerialPort holder;
    ASSERT_EQ(holder.Open(held.path()), 0);
    const std::string lines(hart::LoadString(hart::str::kPortNoModemLinesMark));
    EXPECT_EQ(lines, " (нет линий управления модемом)");
    const struct {
        const char* what;
        std::string usbRecord, ptyRecord; // what the records of COM34 and COM201 name ("": none)
        std::vector<std::string> entries;
    } cases[] = {
        {"no records", "", "", {Busy(Sim("COM201")), "COM34"}},
        {"both found without lines", device, held.path(), {Busy(Sim("COM201") + lines), "COM34" + lines}},
        {"a record of another device", dir / "ttyUSB1", "", {Busy(Sim("COM201")), "COM34"}},
        {"the adapter has its lines again", "", "", {Busy(Sim("COM201")), "COM34"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            platform::RecordModemLines(platform::ModemLinesDir(), 34, c.usbRecord, !c.usbRecord.empty()), 0);
        EXPECT_EQ(
            platform::RecordModemLines(platform::ModemLinesDir(), 201, c.ptyRecord, !c.ptyRecord.empty()), 0);
        const auto entries = List();
        EXPECT_EQ(entries, c.entries) << c.what;
        EXPECT_TRUE(!entries.empty() && IsBusyEntry(entries[0])) << c.what;
        EXPECT_EQ(entries.empty() ? 0 : PortNumberOfEntry(entries[0]), 201) << c.what;
    }
    if (was)
        ::setenv("ZELHART_RUNTIME_DIR", saved.c_str(), 1);
    else
        ::unsetenv("ZELHART_RUNTIME_DIR");
}

TEST_F(PortListTest, OpeningSelectsTheStoredPortOrTheLastEntry) {
    AddPort(1);
    AddPort(2);
    Pty& three = AddPort(3);
    const auto lister = [this] { return List(); };
    const struct {
        int stored;
        bool threeBusy;
        int selected;
        int number;
        bool ok;
    } cases[] = {
        {2, false, 1, 2, true},   // the stored port's entry
        {7, false, 2, 7, true},   // not present: the last entry stays selected, the stored number kept
        {-1, false, 2, 3, true},  // nothing stored: the last entry's number
        {-1, true, 2, -1, false}, // nothing stored and the last entry busy: nothing to confirm
    };
    for (const auto& c : cases) {
        platform::ExclusiveSerialPort holder;
        if (c.threeBusy) {
            ASSERT_EQ(holder.Open(three.path()), 0);
        }
        PortDialogLogic logic(lister, c.stored);
        logic.Open();
        EXPECT_EQ(logic.Selected(), c.selected) << c.stored;
        EXPECT_EQ(logic.PortNumber(), c.number) << c.stored;
        EXPECT_EQ(logic.OkEnabled(), c.ok) << c.stored;
    }
    PortDialogLogic none([] { return std::vector<std::string>{}; }, -1);
    none.Open();
    EXPECT_EQ(none.Selected(), -1);
    EXPECT_EQ(none.PortNumber(), -1);
    EXPECT_TRUE(none.OkEnabled());
}

TEST_F(PortListTest, SelectionListsAgainSoBusyMarksAreFresh) {
    AddPort(1);
    Pty& two = AddPort(2);
    auto holder = std::make_unique<platform::ExclusiveSerialPort>();
    ASSERT_EQ(holder->Open(two.path()), 0);
    PortDialogLogic logic([this] { return List(); }, 1);
    logic.Open();
    EXPECT_EQ(logic.PortNumber(), 1);
    logic.SelectionChanged(1); // COM2, busy
    EXPECT_FALSE(logic.OkEnabled());
    EXPECT_EQ(logic.PortNumber(), 1);
    logic.SelectionChanged(0);
    EXPECT_TRUE(logic.OkEnabled());
    EXPECT_EQ(logic.PortNumber(), 1);
    holder.reset(); // COM2 becomes free while the dialog is open
    logic.SelectionChanged(1);
    EXPECT_EQ(logic.Entries()[1], Sim("COM2"));
    EXPECT_TRUE(logic.OkEnabled());
    EXPECT_EQ(logic.PortNumber(), 2);
}

TEST_F(PortListTest, APortWhoseDeviceVanishedIsNoLongerPresent) {
    Pty& one = AddPort(1);
    EXPECT_TRUE(PortStillPresent(1, sources));
    EXPECT_FALSE(PortStillPresent(2, sources));
    one.Close(); // the pseudo-terminal goes away, its link stays behind
    EXPECT_FALSE(PortStillPresent(1, sources));
}

} // namespace
} // namespace zelhart::ui
