// Driver packages: install, pre-install and uninstall through the helper, and the OEM INF copies.
#include "setup_fixture.h"

#include "zelhart/devdb/daemon_nodes.h"

#include <filesystem>

namespace zelhart::setup::testing {
namespace {

using Strings = std::vector<std::string>;

const std::string kOther = ModemFilterInf("Other Maker", "USB\\VID_0403&PID_6001");

std::vector<std::string> StoreEntries(const std::string& root) {
    std::vector<std::string> ids;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root + "/var/lib/zelhart/driverstore", ec), end; !ec && it != end;
         it.increment(ec))
        ids.push_back(it->path().filename());
    return ids;
}

void ExpectInOrder(const std::string& log, const Strings& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, in order: " << line << "\nlog:\n" << log;
        at = found + 1;
    }
}

using PackageTest = SetupTest;

// A package whose hardware is absent is stored all the same: DIFx's ERROR_NO_SUCH_DEVINST is success.
TEST_F(PackageTest, InstallWithoutDeviceSucceeds) {
    Result r = HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF);
    EXPECT_EQ(r.exit, 0) << r.output;
    ExpectInOrder(Log(), {"DifxApi::DriverPackageInstall InfFilePath: " + std::string(PRODUCT_INF) + "\n",
                          "DIFXAPI_INFO:    No present device fits the driver package.\n",
                          "<<< MainInternalDriverPackageInstall\n"});
    EXPECT_EQ(OemFiles(), (Strings{"oem0.inf", "oem0.pnf"}));
    EXPECT_EQ(StoreEntries(Root()).size(), 1u);
    // Installing it again keeps one package and one OEM copy.
    EXPECT_EQ(HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF).exit, 0);
    EXPECT_EQ(OemFiles(), (Strings{"oem0.inf", "oem0.pnf"}));
    EXPECT_EQ(StoreEntries(Root()).size(), 1u);
}

TEST_F(PackageTest, InstallBindsPresentDevicesAndUninstallReleasesThem) {
    WriteDatabase({Node("ROOT\\ZELHARTDRIVER\\0000", {"ROOT\\ZelHartDriver"}, "HTREE\\ROOT\\0", 0)});
    ASSERT_EQ(HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF).exit, 0);
    EXPECT_NE(Log().find("DIFXAPI_SUCCESS: Driver package installed on 1 device(s).\n"), std::string::npos) << Log();
    auto bound = devdb::ListDeviceNodesBoundToService();
    ASSERT_EQ(bound.nodes.size(), 1u);
    EXPECT_EQ(bound.nodes[0].instanceId, "ROOT\\ZELHARTDRIVER\\0000");

    EXPECT_EQ(HelperLogged("-DriverPackageUninstall,zelhartdriver.INF").exit, 0);
    ExpectInOrder(Log(), {">>> MainInternalDriverPackageUninstall\n", "DifxApi::UninstallPackagesByOemInf enumerating ",
                          "DifxApi::UninstallPackagesByOemInf ---> uninstalling \n",
                          "DIFXAPI_INFO:    Driver removed from 1 device(s).\n", "SetupApi::OemInfFilesDelete\n",
                          "<<< MainInternalDriverPackageUninstall\n"});
    DeviceNode n = Database().nodes.at(0);
    EXPECT_EQ(n.service, "");
    EXPECT_EQ(n.problem, devdb::CM_PROB_FAILED_INSTALL);
    EXPECT_TRUE(OemFiles().empty());
    EXPECT_TRUE(StoreEntries(Root()).empty());
}

// Uninstalling by name removes the packages whose own part of the store path holds the name, in any
// letter case, and no other.
TEST_F(PackageTest, UninstallByNameLeavesOtherPackages) {
    ASSERT_EQ(HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF).exit, 0);
    ASSERT_EQ(HelperLogged("-DriverPackageInstall," + WriteInf("OtherModem.inf", kOther)).exit, 0);
    ASSERT_EQ(OemFiles().size(), 4u);
    EXPECT_EQ(HelperLogged("-DriverPackageUninstall,ZELHARTDRIVER.INF").exit, 0);
    EXPECT_EQ(OemFiles(), (Strings{"oem1.inf", "oem1.pnf"}));
    ASSERT_EQ(StoreEntries(Root()).size(), 1u);
    EXPECT_TRUE(StoreEntries(Root())[0].starts_with("othermodem.inf_"));
}

// The product's name is part of the driver store's own directory (/var/lib/zelhart/driverstore): a name
// is matched against the package's part of the store path alone, so "ZelHart" leaves other makers'.
TEST_F(PackageTest, UninstallByNameIgnoresTheStoreDirectory) {
    ASSERT_EQ(HelperLogged(std::string("-DriverPackageInstall,") + PRODUCT_INF).exit, 0);
    ASSERT_EQ(HelperLogged("-DriverPackageInstall," + WriteInf("OtherModem.inf", kOther)).exit, 0);
    for (const char* name : {"ZelHart", "driverstore"}) {
        EXPECT_EQ(HelperLogged(std::string("-DriverPackageUninstall,") + name).exit, 0);
        EXPECT_EQ(StoreEntries(Root()).size(), 1u) << name;
    }
    ASSERT_EQ(StoreEntries(Root()).size(), 1u);
    EXPECT_TRUE(StoreEntries(Root())[0].starts_with("othermodem.inf_"));
}

// OEM copies whose package DIFx does not know are found by their original name: only those whose
// original name begins with the given name go, with their .pnf.
TEST_F(PackageTest, OemInfDeletionByOriginalName) {
    std::string dir = Root() + "/var/lib/zelhart/inf/";
    std::string inf = ReadFile(PRODUCT_INF);
    auto oem = [&](int n, const char* original) {
        WriteFile(dir + "oem" + std::to_string(n) + ".inf", inf);
        if (original)
            WriteFile(dir + "oem" + std::to_string(n) + ".pnf",
                      std::string("zelhart-pnf 1\noriginal ") + original + "\npackage gone.inf_00000000\n");
    };
    oem(1, "ZelHartDriver.inf");
    oem(2, "OtherModem.inf");
    oem(3, nullptr);             // no .pnf: its original name is its own
    oem(4, "ZELHARTDRIVER.INF"); // another letter case
    WriteFile(dir + "oem5.inf", "[Version\n"); // not an INF: logged, kept
    Result r = HelperLogged("-DriverPackageUninstall,ZelHartDriver.inf");
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(OemFiles(), (Strings{"oem2.inf", "oem2.pnf", "oem3.inf", "oem5.inf"}));
    std::string log = Log();
    ExpectInOrder(log, {dir + "oem1.inf\n", "DriverPackageGetPath failed! -536870142\n",
                        "ERROR_DRIVER_PACKAGE_NOT_IN_STORE\n", "SetupApi::OemInfFilesDelete\n",
                        "SetupApi::OemInfFilesDelete enumerating " + dir + "oem1.inf \n",
                        "SetupApi::DeleteOemInfFile SetupGetInfInformationW error: -536870911\n"});
    // The not-in-store name line reaches the file only.
    EXPECT_NE(r.output.find("DriverPackageGetPath failed!"), std::string::npos);
    EXPECT_EQ(r.output.find("ERROR_DRIVER_PACKAGE_NOT_IN_STORE"), std::string::npos);
}

TEST_F(PackageTest, PreInstallStoresOnlyWhenADeviceFits) {
    EXPECT_EQ(HelperLogged(std::string("-DriverPackagePreInstall,") + PRODUCT_INF).exit, 0);
    EXPECT_TRUE(StoreEntries(Root()).empty());
    WriteDatabase({Node("ROOT\\ZELHARTDRIVER\\0000", {"ROOT\\ZelHartDriver"}, "HTREE\\ROOT\\0", 0)});
    EXPECT_EQ(HelperLogged(std::string("-DriverPackagePreInstall,") + PRODUCT_INF).exit, 0);
    EXPECT_EQ(StoreEntries(Root()).size(), 1u);
    EXPECT_EQ(Database().nodes.at(0).service, ""); // stored, not installed
    ExpectInOrder(Log(), {">>> MainInternalDriverPackagePreInstall\n",
                          "DifxApi::DriverPackagePreInstall InfFilePath: ", "<<< MainInternalDriverPackagePreInstall\n"});
}

struct BadPackage {
    const char* name;
    std::string switchName;
    std::string inf; // empty: no file at all
    std::vector<std::string> logLines;
};

const BadPackage kBadPackages[] = {
    {"UnterminatedQuote", "-DriverPackageInstall", "[Version]\nSignature=\"$Windows NT$\nClass=X\n",
     {"DIFXAPI_ERROR:   INF file '{INF}' is not a valid driver package: line 2: unterminated quoted string.  "
      "Errorcode: -536870909 [-536870909 (The syntax of the INF is invalid.)]\n",
      "DifxApi::DriverPackageInstall DriverPackageInstall returned 0xe0000003.\n", "MainInternalDriverPackageInstall failed!\n"}},
    {"NoModels", "-DriverPackagePreInstall",
     "[Version]\nSignature=\"$Windows NT$\"\nClass=Ports\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n",
     {"DifxApi::DriverPackagePreInstall DriverPackageInstallW returned 0xe0000101.\n",
      "MainInternalDriverPrePackageinstall failed!\n"}},
    {"MissingFile", "-DriverPackageInstall", "",
     {"Errorcode: 2 [2 (The system cannot find the file specified.)]\n",
      "DifxApi::DriverPackageInstall DriverPackageInstall returned 0x2.\n"}},
    {"PathTooLong", "-DriverPackageInstall", "long",
     {"DifxApi::DriverPackageInstall DriverPackageInstall returned 0xce.\n"}},
};


void PrintTo(const BadPackage& c, std::ostream* os) { *os << c.name; }

class BadPackageTest : public SetupTest, public ::testing::WithParamInterface<BadPackage> {};

TEST_P(BadPackageTest, FailsAndStoresNothing) {
    const BadPackage& c = GetParam();
    std::string path = Dir() + "/packages/missing.inf";
    if (c.inf == "long") path = WriteInf(std::string(250, 'x') + ".inf", ReadFile(PRODUCT_INF));
    else if (!c.inf.empty()) path = WriteInf("bad.inf", c.inf);
    Result r = HelperLogged(c.switchName + "," + path);
    EXPECT_EQ(r.exit, 255) << r.output;
    std::string log = Log();
    size_t at = 0;
    for (std::string line : c.logLines) {
        if (auto p = line.find("{INF}"); p != std::string::npos) line.replace(p, 5, path);
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing, in order: " << line << "\nlog:\n" << log;
        at = found + 1;
    }
    EXPECT_TRUE(StoreEntries(Root()).empty());
    EXPECT_TRUE(OemFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, BadPackageTest, ::testing::ValuesIn(kBadPackages),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zelhart::setup::testing
