// The INF reader: the product's own package, and INF files it must refuse.
#include "zelhart/setupapi/inf_file.h"

#include "setup_fixture.h"

namespace zelhart::setup::testing {
namespace {

using namespace setupapi;

TEST(InfFile, TheProductPackage) {
    InfFile inf;
    std::string reason;
    ASSERT_EQ(ReadInfFile(PRODUCT_INF, &inf, &reason), ERROR_SUCCESS) << reason;
    InfDriverPackage p;
    ASSERT_EQ(DescribeDriverPackage(inf, &p, &reason), ERROR_SUCCESS) << reason;
    EXPECT_EQ(p.className, "ZelHartDriver");
    EXPECT_EQ(p.classGuid, *platform::ParseGuid(kProductClassGuid));
    EXPECT_EQ(p.provider, "ZelHart");
    ASSERT_EQ(p.manufacturers.size(), 1u);
    EXPECT_EQ(p.manufacturers[0].name, "ZelHart"); // the maker the driver update looks for
    ASSERT_EQ(p.manufacturers[0].models.size(), 1u);
    const InfModel& m = p.manufacturers[0].models[0];
    EXPECT_EQ(m.ids, std::vector<std::string>{"ROOT\\ZelHartDriver"});
    EXPECT_EQ(InfServiceOf(inf, m.installSection), "ZelHartDriver");
    EXPECT_TRUE(InfUpperFiltersOf(inf, m.installSection).empty());
}

TEST(InfFile, SyntaxDetails) {
    InfFile inf;
    std::string reason;
    ASSERT_EQ(InfFile::Parse("\xEF\xBB\xBF; comment\r\n[A]\r\nkey = \"x, \"\"y\"\"\" , %S% ; tail\r\n[strings]\r\nS=\"s;1\"\r\n"
                             "[a]\r\nHKR,,\"V\",0x1,\"d\"\r\n",
                             &inf, &reason),
              ERROR_SUCCESS)
        << reason;
    const InfSection* a = inf.Section("a");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->lines.size(), 2u); // repeated sections merge
    EXPECT_EQ(a->lines[0].values, (std::vector<std::string>{"x, \"y\"", "s;1"}));
    EXPECT_EQ(a->lines[1].values, (std::vector<std::string>{"HKR", "", "V", "0x1", "d"}));
    EXPECT_FALSE(a->lines[1].hasKey);
}

struct BadInf {
    const char* name;
    std::string text;
    DWORD error;
    const char* reason;
};

std::string Repeated(const std::string& text, int times) {
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

const std::string kVersion =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Ports\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n";

const BadInf kBad[] = {
    {"LineBeforeSection", "Signature=x\n[Version]\n", ERROR_EXPECTED_SECTION_NAME, "line 1"},
    {"UnclosedSection", "[Version\n", ERROR_BAD_SECTION_NAME_LINE, "no ']'"},
    {"SectionNameTooLong", "[" + std::string(300, 's') + "]\n", ERROR_SECTION_NAME_TOO_LONG, "too long"},
    {"UnterminatedQuote", "[Version]\nSignature=\"$Windows NT$\n", ERROR_GENERAL_SYNTAX, "line 2: unterminated"},
    {"Utf16", std::string("[\0V\0]\0", 6), ERROR_WRONG_INF_STYLE, "UTF-16"},
    {"ControlCharacter", "[Version]\nClass=\x07\n", ERROR_GENERAL_SYNTAX, "control character"},
    {"TooLarge", "[Version]\n" + std::string(300 * 1024, ';'), ERROR_GENERAL_SYNTAX, "larger than"},
    {"TooLongOnceSubstituted",
     "[Strings]\nS=\"" + std::string(100, 'x') + "\"\n[Version]\nClass=" + Repeated("%S%", 50) + "\n",
     ERROR_GENERAL_SYNTAX, "line 4: a key or value longer than 4096 bytes once"},
    {"LargerThan1MiBOnceSubstituted",
     "[Strings]\nS=\"" + std::string(4000, 'x') + "\"\n[Version]\n" + Repeated("%S%\n", 300),
     ERROR_GENERAL_SYNTAX, "line 265: the file larger than 1048576 bytes once"},
    {"NoSignature", "[Version]\nClass=Ports\n", ERROR_WRONG_INF_STYLE, "Signature"},
    {"NoClassGuid", "[Version]\nSignature=\"$Chicago$\"\nClass=Ports\n", ERROR_LINE_NOT_FOUND, "ClassGuid"},
    {"GuidWithoutBraces",
     "[Version]\nSignature=\"$Chicago$\"\nClass=Ports\nClassGuid=4D36E978-E325-11CE-BFC1-08002BE10318\n",
     ERROR_INVALID_CLASS, "ClassGuid"},
    {"NoManufacturer", kVersion, ERROR_SECTION_NOT_FOUND, "[Manufacturer]"},
    {"NoModelsSection", kVersion + "[Manufacturer]\nM=Models\n", ERROR_SECTION_NOT_FOUND, "[Models]"},
    {"ModelWithoutId", kVersion + "[Manufacturer]\nM=Models\n[Models]\nD=Install\n[Install]\n", ERROR_GENERAL_SYNTAX,
     "hardware ID"},
    {"BadHardwareId", kVersion + "[Manufacturer]\nM=Models\n[Models]\nD=Install,\"USB VID\"\n[Install]\n",
     ERROR_GENERAL_SYNTAX, "bad hardware ID"},
    {"NoInstallSection", kVersion + "[Manufacturer]\nM=Models\n[Models]\nD=Install,USB\\X\n", ERROR_SECTION_NOT_FOUND,
     "[Install]"},
    {"NoModels", kVersion + "[Manufacturer]\nM=Models\n[Models]\n", ERROR_LINE_NOT_FOUND, "no device models"},
};


void PrintTo(const BadInf& c, std::ostream* os) { *os << c.name; }

class BadInfTest : public ::testing::TestWithParam<BadInf> {};

TEST_P(BadInfTest, IsRefused) {
    InfFile inf;
    InfDriverPackage p;
    std::string reason;
    DWORD e = InfFile::Parse(GetParam().text, &inf, &reason);
    if (e == ERROR_SUCCESS) e = DescribeDriverPackage(inf, &p, &reason);
    EXPECT_EQ(e, GetParam().error) << reason;
    EXPECT_NE(reason.find(GetParam().reason), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInfTest, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zelhart::setup::testing
