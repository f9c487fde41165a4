// -DriverUpdate over device trees: hardware ID matching, the filter mark, the child-stack rule, reboot
// prompts, the administrator test and the maker's driver.
#include "setup_fixture.h"

#include <algorithm>

namespace zelhart::setup::testing {
namespace {

using devdb::DN_NEED_RESTART;
using devdb::DN_STARTED;

const std::string kModem0 = "USB\\VID_1A86&PID_7523\\5&1";
const std::string kModem1 = "USB\\VID_1A86&PID_7523\\5&2";

DeviceNode Modem(const std::string& id, uint32_t status = kRunning, std::vector<std::string> filters = {}) {
    DeviceNode n = Node(id, {"USB\\VID_1A86&PID_7523&REV_0100", "USB\\VID_1A86&PID_7523"}, "HTREE\\ROOT\\0", status);
    n.upperFilters = std::move(filters);
    return n;
}

DeviceNode HidChild(const std::string& parent, uint32_t status = kRunning) {
    return Node("HID\\VID_1A86&PID_7523\\" + parent.substr(parent.size() - 1), {"HID\\VID_1A86&PID_7523"}, parent, status);
}

// Interface `i` of the modem and the function below it.
std::vector<DeviceNode> Interface(const std::string& parent, int i, uint32_t functionStatus = kRunning) {
    std::string id = "USB\\VID_1A86&PID_7523&MI_0" + std::to_string(i) + "\\6&" + std::to_string(i);
    return {Node(id, {"USB\\VID_1A86&PID_7523&MI_0" + std::to_string(i)}, parent),
            Node("FTDIBUS\\PORT" + std::to_string(i) + "\\0000", {"FTDIBUS\\PORT"}, id, functionStatus)};
}

std::vector<DeviceNode> Join(std::initializer_list<std::vector<DeviceNode>> parts) {
    std::vector<DeviceNode> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct UpdateCase {
    const char* name;
    std::vector<DeviceNode> nodes;
    std::string hardwareId = "USB\\VID_1A86&PID_7523";
    std::string maker = "ZelHart"; // of the stored package
    bool readOnly = false;
    int exit = 1;
    std::vector<std::string> logLines; // in this order
    std::vector<std::string> logLacks;
    std::vector<std::string> updated;  // every other node keeps its driver
    bool reboot = false;
    std::string outputHas;
};

const UpdateCase kCases[] = {
    {"PrefixMatchInAnyCase", {Modem(kModem0), HidChild(kModem0)}, "usb\\vid_1a86&pid_7523", "ZelHart", false, 1,
     {"SetupApi::DriverUpdate for-loop i: 0\n",
      "comparing hardware IDs (USB\\VID_1A86&PID_7523&REV_0100 == usb\\vid_1a86&pid_7523)? Equal!\n",
      "SetupApi::DriverUpdate FindWindowW failed! HartSetupWindow 1407\n",
      "SetupApi::DevNodeStatusGet Status: 0x200a .ProblemNumber: 0x0\n",
      ">>> SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning\n",
      "SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Device_IDW: HID\\\n",
      " SetupApi::DriverUpdate two children up and running\n", "SetupApi::DriverUpdate for-loop i: 1\n"},
     {"SetupApi::DriverUpdate failed!"}, {kModem0}, false, "ZelHart\n"},
    {"IdOnlyContainedFurtherOnDoesNotMatch",
     {Node(kModem0, {"XUSB\\VID_1A86&PID_7523", "USB\\VID_1A86&PID_7523"}), HidChild(kModem0)}, "USB\\VID_1A86&PID_7523",
     "ZelHart", false, 1,
     {"comparing hardware IDs (XUSB\\VID_1A86&PID_7523 == USB\\VID_1A86&PID_7523)? Not equal!\n",
      "SetupApi::DriverUpdate no match for hardware ID (USB\\VID_1A86&PID_7523)\n"},
     {}, {}, false, ""},
    {"AlreadyFilteredDeviceIsSkipped", {Modem(kModem0, kRunning, {"ZelHartFlt"}), HidChild(kModem0)},
     "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {" SetupApi::DriverUpdate two children up and running\n",
      "DriverUpdate DeviceInfoSet.RegistryPropertyCompare driver already installed\n"},
     {"InstallSelectedDriver"}, {}, false, ""},
    {"HidChildNotRunning", {Modem(kModem0), HidChild(kModem0, 0)}, "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {"SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning status does not indicate DN_STARTED\n",
      " SetupApi::DriverUpdate two children not up and running\n"},
     {}, {}, false, ""},
    {"TwoNonHidChildrenRunning", Join({{Modem(kModem0)}, Interface(kModem0, 0), Interface(kModem0, 1)}),
     "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {"CM_Get_Device_IDW: USB\\\n", " SetupApi::DriverUpdate two children up and running\n"}, {}, {kModem0}, false, ""},
    {"SecondNonHidChildNotRunning", Join({{Modem(kModem0)}, Interface(kModem0, 0), Interface(kModem0, 1, 0)}),
     "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {"SetupApiDeviceInfoSet::InternalCfgMgrIsChildUpAndRunning for second child failed! Result: 0\n",
      " SetupApi::DriverUpdate two children not up and running\n"},
     {}, {}, false, ""},
    {"OneNonHidChildIsNotEnough", Join({{Modem(kModem0)}, Interface(kModem0, 0)}), "USB\\VID_1A86&PID_7523", "ZelHart",
     false, 1, {"SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Sibling failed! Result: 13\n"}, {}, {}, false, ""},
    {"NoChildren", {Modem(kModem0)}, "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {"SetupApiDeviceInfoSet::AreAllChildStacksUpAndRunning CM_Get_Child failed! Result: 13\n"}, {}, {}, false, ""},
    {"WaitingForRestartPromptsAndGoesOn",
     {Modem(kModem0, kRunning | DN_NEED_RESTART), HidChild(kModem0), Modem(kModem1), HidChild(kModem1)},
     "USB\\VID_1A86&PID_7523", "ZelHart", false, 1,
     {"SetupApi::DriverUpdate DeviceInfoSet.DevNodeStatusGet reboot required!\n", "SetupApi::DriverUpdate for-loop i: 1\n",
      " SetupApi::DriverUpdate two children up and running\n"},
     {"SetupPromptReboot"}, {kModem1}, true, "must be restarted"},
    {"RightsMissingAtIndexZeroExitsFive", {Modem(kModem0), HidChild(kModem0)}, "USB\\VID_1A86&PID_7523", "ZelHart", true,
     5,
     {"SetupApi::DriverUpdate not enough privileges (must be member of Admin group\n",
      "SetupApi::DriverUpdate ERROR_ACCESS_DENIED!\n"},
     {"SetupApi::DriverUpdate failed!", "SetupApi::DriverUpdate for-loop i: 1"}, {}, false, ""},
    {"RightsAreTestedOnlyAtIndexZero",
     {Modem(kModem0, kRunning, {"ZelHartFlt"}), HidChild(kModem0), Modem(kModem1), HidChild(kModem1)},
     "USB\\VID_1A86&PID_7523", "ZelHart", true, 1,
     {"driver already installed\n", "SetupApi::DriverUpdate for-loop i: 1\n",
      "InstallSelectedDriver UpdateFn failed. LastError returned 5\n",
      "SetupApi::DriverUpdate DeviceInfoSet.SelectedDriverInstall failed! 1\n", "SetupApi::DriverUpdate failed!\n"},
     {"not enough privileges", "ERROR_ACCESS_DENIED!"}, {}, false, ""},
    {"NoDriverOfTheMaker", {Modem(kModem0), HidChild(kModem0)}, "USB\\VID_1A86&PID_7523", "Other Maker", false, 1,
     {"SetupDiEnumDriverInfo failed. GetLastError returned: 259\n",
      "SetupApi::DriverUpdate DeviceInfoSet.SelectedDriverSet failed! Index:0\n", "SetupApi::DriverUpdate failed!\n"},
     {}, {}, false, "Other Maker\n"},
    {"InstallThatNeedsRestartPrompts", {Modem(kModem0, DN_STARTED), HidChild(kModem0)}, "USB\\VID_1A86&PID_7523",
     "ZelHart", false, 1, {"SetupApi::DriverUpdate reboot required!\n"},
     {"SetupApi::DriverUpdate failed!", "SetupPromptReboot"}, {kModem0}, true, ""},
    {"NoMatchingDevice", {Modem(kModem0)}, "USB\\VID_0000&PID_0000", "ZelHart", false, 1,
     {">>> SetupApi::DriverUpdate\n", "SetupApi::DriverUpdate for-loop i: 0\n"}, {"comparing", "FindWindowW"}, {}, false, ""},
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

class DriverUpdateTest : public SetupTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(DriverUpdateTest, Runs) {
    const UpdateCase& c = GetParam();
    WriteDatabase(c.nodes);
    StorePackage(WriteInf("modem.inf", ModemFilterInf(c.maker, "USB\\VID_1A86&PID_7523")));
    if (c.readOnly) MakeRootReadOnly();
    std::string before = ReadFile(DatabaseFile());
    Result r = HelperLogged("-DriverUpdate," + c.hardwareId + ",HartSetupWindow");
    EXPECT_EQ(r.exit, c.exit) << r.output;
    std::string log = Log();
    size_t at = 0;
    for (const std::string& line : c.logLines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, in order: " << line << "\nlog:\n" << log;
        at = found + 1;
    }
    for (const std::string& s : c.logLacks)
        EXPECT_EQ(log.find(s), std::string::npos) << s << "\nlog:\n" << log;
    DeviceDatabase db = Database();
    ASSERT_EQ(db.nodes.size(), c.nodes.size());
    for (const DeviceNode& n : db.nodes) {
        bool update = std::find(c.updated.begin(), c.updated.end(), n.instanceId) != c.updated.end();
        EXPECT_EQ(n.service == "usbser", update) << n.instanceId;
        if (update) {
            EXPECT_EQ(n.upperFilters, std::vector<std::string>{"ZelHartFlt"}) << n.instanceId;
        }
    }
    if (c.updated.empty()) {
        EXPECT_EQ(ReadFile(DatabaseFile()), before) << "the database was written";
    }
    EXPECT_EQ(Exists(Root() + "/var/run/reboot-required"), c.reboot);
    if (!c.outputHas.empty()) {
        EXPECT_NE(r.output.find(c.outputHas), std::string::npos) << r.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverUpdateTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zelhart::setup::testing
