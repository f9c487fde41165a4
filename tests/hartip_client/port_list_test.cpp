// The port dialog's list with remote ports: each shown with its server's host, never marked busy, and
// its number taken like any other port's.
#include "core/port_list.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace zelhart::ui {
namespace {

TEST(RemotePortList, RemotePortsAreListedWithTheirHostAndChosenByNumber) {
    testing::TempDir dir;
    platform::SerialPortMapSources sources{dir / "ports", dir / "ports.conf", "", ""};
    std::ofstream(sources.portsConf) << "COM250=hartip://cabinet-1:5094\n"
                                        "COM7=hartip+udp://[fd00::7]:5095\n"
                                        "COM9=hartip://bad host\n";
    ASSERT_EQ(platform::RegisterComPort(sources.portsDir, 3, sources.portsConf), 0); // a local port
    const std::vector<std::string> entries = ListPortEntries(sources);
    EXPECT_EQ(entries, (std::vector<std::string>{"COM250 (cabinet-1)", "COM3", "COM7 ([fd00::7]:5095)"}));
    for (const auto& entry : entries) EXPECT_FALSE(IsBusyEntry(entry)) << entry;
    EXPECT_TRUE(PortStillPresent(250, sources));
    EXPECT_TRUE(PortStillPresent(7, sources));
    EXPECT_FALSE(PortStillPresent(9, sources));

    PortDialogLogic dialog([&] { return ListPortEntries(sources); }, 3);
    dialog.Open();
    dialog.SelectionChanged(0);
    EXPECT_TRUE(dialog.OkEnabled());
    EXPECT_EQ(dialog.PortNumber(), 250);
    dialog.SelectionChanged(2);
    EXPECT_EQ(dialog.PortNumber(), 7);
}

} // namespace
} // namespace zelhart::ui
