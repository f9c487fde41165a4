// The device database: its text form, damaged files, a system root that refuses writers, and two
// helpers writing at once.
#include "setup_fixture.h"

#include "zelhart/sim/child_process.h"

#include <filesystem>
#include <functional>
#include <set>

namespace zelhart::setup::testing {
namespace {

using devdb::ParseDeviceDatabase;
using devdb::SerializeDeviceDatabase;

DeviceDatabase Sample() {
    DeviceNode modem = Node("USB\\VID_1A86&PID_7523\\5&1", {"USB\\VID_1A86&PID_7523&REV_0100", "USB\\VID_1A86&PID_7523"});
    modem.compatibleIds = {"USB\\Class_02"};
    modem.upperFilters = {"ZelHartFlt"};
    modem.service = "usbser";
    modem.driverPackage = "modem.inf_0badf00d";
    modem.manufacturer = "Other Maker";
    modem.classGuid = *platform::ParseGuid("{4D36E978-E325-11CE-BFC1-08002BE10318}");
    modem.className = "Ports";
    DeviceNode phantom = Node("HID\\VID_1A86&PID_7523\\6&1", {"HID\\X"}, modem.instanceId, 0);
    phantom.present = false;
    phantom.problem = 24;
    DeviceDatabase db;
    db.nodes = {phantom, modem}; // a child may come before its parent
    return db;
}

TEST(DeviceDatabaseFormat, RoundTrips) {
    DeviceDatabase db = Sample();
    std::string reason;
    auto back = ParseDeviceDatabase(SerializeDeviceDatabase(db), &reason);
    ASSERT_TRUE(back) << reason;
    EXPECT_EQ(back->nodes, db.nodes);
}

struct Damage {
    const char* name;
    std::function<std::string(std::string)> apply;
    const char* reason;
};

std::string WithNodes(std::function<void(DeviceDatabase&)> change) {
    DeviceDatabase db = Sample();
    change(db);
    return SerializeDeviceDatabase(db); // written without checks, so the parser must find the fault
}

const Damage kDamages[] = {
    {"Empty", [](std::string) { return std::string(); }, "empty file"},
    {"Garbage", [](std::string) { return std::string("\x7f" "ELF\x02\x01\x01", 7); }, "line 1:"},
    {"OtherFormat", [](std::string) { return std::string("[Version]\nSignature=x\n"); }, "not a device database"},
    {"NewerVersion", [](std::string t) { return t.replace(t.find(" 1\n"), 3, " 2\n"); }, "unsupported format version 2"},
    {"CutAtALine", [](std::string t) { return t.substr(0, t.find("service")); }, "truncated: no end line"},
    {"CutInALine", [](std::string t) { return t.substr(0, t.size() - 3); }, "truncated"},
    {"OneByteChanged", [](std::string t) { t[t.find("usbser")] = 'U'; return t; }, "checksum mismatch"},
    {"TextAfterTheEnd", [](std::string t) { return t + "node X\\Y\\0\n"; }, "text after the end line"},
    {"UnknownKeyword", [](std::string t) { return t.insert(t.find("service"), "colour red\n"); }, "unknown keyword 'colour'"},
    {"ControlCharacter", [](std::string t) { return t.insert(t.find("usbser"), "\x01"); }, "control character"},
    {"OverLongLine", [](std::string t) { return t.insert(t.find("usbser"), std::string(2000, 'a')); }, "longer than 1024 bytes"},
    {"DuplicateId", [](std::string) { return WithNodes([](auto& db) { db.nodes.push_back(db.nodes[1]); }); }, "given twice"},
    {"MissingParent", [](std::string) { return WithNodes([](auto& db) { db.nodes[0].parent = "USB\\NOPE\\1"; }); },
     "does not exist"},
    {"ParentCycle", [](std::string) { return WithNodes([](auto& db) { db.nodes[1].parent = db.nodes[0].instanceId; }); },
     "cycle"},
    {"IdWithBlank", [](std::string) { return WithNodes([](auto& db) { db.nodes[1].hardwareIds[0] = "USB VID"; }); },
     "bad ID"},
    {"TooManyIds", [](std::string) {
         return WithNodes([](auto& db) { db.nodes[1].hardwareIds.assign(33, "USB\\X"); });
     }, "more than 32 IDs"},
};


void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class DamagedDatabase : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedDatabase, IsRefusedWithItsReason) {
    std::string reason;
    EXPECT_FALSE(ParseDeviceDatabase(GetParam().apply(SerializeDeviceDatabase(Sample())), &reason));
    EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedDatabase, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// The helper meets a damaged database: the action fails (or walks nothing), says why, and leaves the
// file exactly as it was.
using DatabaseFileTest = SetupTest;

TEST_F(DatabaseFileTest, DamagedFileIsLeftAlone) {
    for (const char* damage : {"CutAtALine", "Garbage", "OneByteChanged"}) {
        SCOPED_TRACE(damage);
        std::filesystem::remove(LogPath());
        for (const Damage& d : kDamages)
            if (std::string(d.name) == damage) WriteFile(DatabaseFile(), d.apply(SerializeDeviceDatabase(Sample())));
        std::string before = ReadFile(DatabaseFile());
        Result r = HelperLogged(std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver");
        EXPECT_EQ(r.exit, 255);
        EXPECT_NE(Log().find("SetupApi::DeviceNodeCreate: SetupDiCallClassInstaller failed with 0x570."), std::string::npos);
        EXPECT_NE(r.output.find("setupapi: device database " + DatabaseFile() + " refused: "), std::string::npos) << r.output;
        // The log names the file and the reason too: maintainer scripts discard standard error.
        EXPECT_NE(Log().find("Device database " + DatabaseFile() + " refused: "), std::string::npos) << Log();
        r = HelperLogged(std::string("-DeviceNodesRemoveAll,") + kProductClassGuid + ",ROOT\\ZelHartDriver,setup");
        EXPECT_EQ(r.exit, 0);
        EXPECT_NE(Log().find("SetupApiDeviceInfoSet::Initialize pGuidSetupClass SetupDiGetClassDevs failed! 1392\n"),
                  std::string::npos);
        EXPECT_EQ(ReadFile(DatabaseFile()), before);
    }
}

// A system root the helper may not write (as root too): a failure exit code, the reason in the log,
// nothing touched.
TEST_F(DatabaseFileTest, RootThatRefusesWritersChangesNothing) {
    std::function<void()> ways[] = {
        [&] { MakeRootReadOnly(); },
        [&] { // a file where the state directory should be
            std::filesystem::remove_all(Root());
            WriteFile(Root() + "/var/lib/zelhart", "");
        },
    };
    for (auto& makeReadOnly : ways) {
        std::filesystem::remove(LogPath());
        WriteDatabase(Sample().nodes);
        makeReadOnly();
        std::string before = ReadFile(DatabaseFile());
        Result r = HelperLogged(std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver");
        EXPECT_EQ(r.exit, 255);
        EXPECT_NE(Log().find("SetupApi::DeviceNodeCreate: SetupDiCallClassInstaller failed with 0x5."), std::string::npos)
            << Log();
        r = HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF);
        EXPECT_EQ(r.exit, 255);
        EXPECT_NE(Log().find("Errorcode: 5 [5 (Access is denied.)]\n"), std::string::npos) << Log();
        EXPECT_EQ(ReadFile(DatabaseFile()), before);
        EXPECT_FALSE(Exists(Root() + "/var/lib/zelhart/driverstore"));
        std::filesystem::remove_all(Root());
    }
}

// Two helpers creating device nodes at the same time: every node is there once, the file stays whole.
TEST_F(DatabaseFileTest, ConcurrentWritersLoseNothing) {
    constexpr int kRunsEach = 20;
    std::string helper = sim::ExecutableBesideThisProgram("ZelHartDriverSetupCustomAction");
    std::string loop = "i=0; while [ $i -lt " + std::to_string(kRunsEach) + " ]; do \"$1\" \"$2\" || exit 1; i=$((i+1)); done";
    sim::ChildProcess writers[2];
    for (int k = 0; k < 2; ++k) {
        std::string commandLine =
            std::string("-DeviceNodeCreate,") + PRODUCT_INF + ",ROOT\\ZelHartDriver," + Dir() + "/w" + std::to_string(k) + ".log";
        ASSERT_EQ(writers[k].Start({"/bin/sh", {"-c", loop, "sh", helper, commandLine}, {}, true, -1}), "");
    }
    for (auto& w : writers)
        EXPECT_EQ(w.Wait(std::chrono::seconds(100)), 0) << w.Output();
    DeviceDatabase db = Database();
    std::set<std::string> ids;
    for (const DeviceNode& n : db.nodes)
        ids.insert(n.instanceId);
    EXPECT_EQ(ids.size(), 2u * kRunsEach);
    EXPECT_TRUE(ids.count("ROOT\\ZELHARTDRIVER\\0000") && ids.count("ROOT\\ZELHARTDRIVER\\0039"));
}

} // namespace
} // namespace zelhart::setup::testing
