#include "zelhart/drvfw/registry.h"

#include "zelhart/drvfw/framework.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

using namespace zelhart::drvfw;
using zelhart::testing::TempDir;

namespace {

constexpr char kService[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZelHartDriver";

std::unique_ptr<RegistryKey> KeyOf(const std::string& text) {
    auto file = RegistryFile::Parse(text);
    const auto* values = file.Key(kService);
    return values ? std::make_unique<RegistryKey>(*values) : nullptr;
}

} // namespace

TEST(RegistryFile, ReadsDwordsQwordsAndStringsOfTheServiceKey) {
    auto key = KeyOf(R"(Windows Registry Editor Version 5.00

; the driver's tunables
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\ZelHartDriver]
"HOLD"=dword:00000003
"DebugLevel"=dword:ff
"RT2"=hex(b):08,00,00,00,00,00,00,00
"ImagePath"="C:\\drivers\\\"zel\".sys"
"Raw"=hex:01,02,\
  03,04
@="default"
)");
    ASSERT_TRUE(key);
    uint32_t v = 0;
    EXPECT_EQ(key->QueryULong("HOLD", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(key->QueryULong("debuglevel", &v), STATUS_SUCCESS); // names do not depend on case
    EXPECT_EQ(v, 0xFFu);
    std::string s;
    EXPECT_EQ(key->QueryString("ImagePath", &s), STATUS_SUCCESS);
    EXPECT_EQ(s, "C:\\drivers\\\"zel\".sys");
    EXPECT_EQ(key->QueryString("", &s), STATUS_SUCCESS);
    EXPECT_EQ(s, "default");
    uint8_t raw[8];
    size_t length = 0;
    uint32_t type = 0;
    EXPECT_EQ(key->QueryValue("Raw", raw, sizeof(raw), &length, &type), STATUS_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(raw[3], 4);
    uint64_t big = 0;
    EXPECT_EQ(key->QueryValue("RT2", &big, sizeof(big), &length, &type), STATUS_SUCCESS);
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(big, 8u);
}

TEST(RegistryFile, A64BitValueCannotBeReadAs32Bits) {
    auto key = KeyOf("[HKLM\\System\\CurrentControlSet\\Services\\ZelHartDriver]\n\"RT2\"=hex(b):08,00,00,00,"
                     "00,00,00,00\n");
    ASSERT_TRUE(key);
    uint32_t v = 77;
    EXPECT_EQ(key->QueryULong("RT2", &v), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(v, 77u);
    size_t length = 0;
    EXPECT_EQ(key->QueryValue("RT2", &v, sizeof(v), &length, nullptr), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(v, 77u);
}

TEST(RegistryFile, MissingValuesKeysAndWrongTypes) {
    auto key = KeyOf("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZelHartDriver]\n\"Name\"="
                     "\"3\"\n\"Short\"=hex(4):03,00\n");
    ASSERT_TRUE(key);
    uint32_t v = 0;
    EXPECT_EQ(key->QueryULong("GAP", &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key->QueryULong("Name", &v), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(key->QueryULong("Short", &v), STATUS_OBJECT_TYPE_MISMATCH);
    std::string s;
    EXPECT_EQ(key->QueryString("Short", &s), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_FALSE(KeyOf("[HKEY_LOCAL_MACHINE\\SYSTEM\\Other]\n\"HOLD\"=dword:1\n"));

    TempDir dir;
    std::unique_ptr<RegistryKey> opened;
    EXPECT_EQ(RegistryKey::OpenFile(dir / "absent.reg", kService, &opened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryFile, LaterLinesReplaceAndDeleteValuesAndKeys) {
    auto file = RegistryFile::Parse(R"([HKLM\A]
"X"=dword:1
"Y"=dword:2
"X"=dword:5
"Y"=-
[HKLM\B]
"Z"=dword:1
[-HKLM\B]
)");
    RegistryKey a(*file.Key("\\Registry\\Machine\\A"));
    uint32_t v = 0;
    EXPECT_EQ(a.QueryULong("X", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(a.QueryULong("Y", &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file.Key("HKEY_LOCAL_MACHINE\\B"), nullptr);
}

TEST(RegistryFile, GarbageLinesAreSkippedAndCounted) {
    auto file = RegistryFile::Parse(R"("Orphan"=dword:1
[HKLM\K]
"A"=dword:123456789
"B"=dword:xyz
"C"=hex:1,2,zz
"D"=hex(b
"E" dword:1
"F"="unterminated
no equals sign here
[unterminated key
"G"=dword:00000007
)");
    EXPECT_EQ(file.skippedLines(), 9u);
    RegistryKey k(*file.Key("HKLM\\K"));
    uint32_t v = 0;
    EXPECT_EQ(k.QueryULong("G", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(k.QueryULong("A", &v), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryFile, Utf16ExportsAreRead) {
    std::string text = "Windows Registry Editor Version "
                       "5.00\r\n\r\n[HKLM\\K]\r\n\"Txt\"=\"\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82\"\r\n";
    // Encode as regedit does: UTF-16LE with a byte order mark (this text is ASCII plus Cyrillic).
    std::u16string wide =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\K]\r\n\"Txt\"=\"\u0422\u0435\u0441\u0442\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : wide) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    auto file = RegistryFile::Parse(bytes);
    ASSERT_TRUE(file.Key("HKLM\\K"));
    std::string s;
    EXPECT_EQ(RegistryKey(*file.Key("HKLM\\K")).QueryString("Txt", &s), STATUS_SUCCESS);
    EXPECT_EQ(s, "\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82");
    auto utf8 = RegistryFile::Parse(text);
    EXPECT_EQ(RegistryKey(*utf8.Key("HKLM\\K")).QueryString("Txt", &s), STATUS_SUCCESS);
    EXPECT_EQ(s, "\xD0\xA2\xD0\xB5\xD1\x81\xD1\x82");
}

TEST(RegistryFile, ArbitraryBytesNeverCrashAndLimitsHold) {
    std::mt19937 rng(4810);
    for (int i = 0; i < 200; ++i) {
        std::string junk(1 + rng() % 2000, '\0');
        for (char& c : junk)
            c = static_cast<char>(rng() % 7 == 0 ? "[]\"=\\:,\n"[rng() % 8] : rng() & 0xFF);
        auto file = RegistryFile::Parse(junk);
        (void)file.skippedLines();
    }
    std::string longLine =
        "[HKLM\\K]\n\"A\"=hex:" + std::string(RegistryFile::kMaxLineLength, '1') + "\n\"B\"=dword:2\n";
    auto file = RegistryFile::Parse(longLine);
    EXPECT_EQ(file.skippedLines(), 1u);
    uint32_t v = 0;
    EXPECT_EQ(RegistryKey(*file.Key("HKLM\\K")).QueryULong("B", &v), STATUS_SUCCESS);
    // A value too long to read is skipped with every line it goes on over, however they look.
    auto continued = RegistryFile::Parse("[HKLM\\K]\n\"A\"=hex:" + std::string(RegistryFile::kMaxLineLength, '1') +
                                         "\\\n  01,02,\\\n\"C\"=dword:3\n\"B\"=dword:2\n");
    EXPECT_EQ(continued.skippedLines(), 1u);
    EXPECT_EQ(RegistryKey(*continued.Key("HKLM\\K")).QueryULong("C", &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RegistryKey(*continued.Key("HKLM\\K")).QueryULong("B", &v), STATUS_SUCCESS);

    TempDir dir;
    std::string path = dir / "big.reg";
    std::ofstream(path) << std::string(RegistryFile::kMaxFileSize + 1, ';');
    EXPECT_FALSE(RegistryFile::Load(path));
}

TEST(RegistryKey, OpenReadsTheFrameworksRegistryFile) {
    TempDir dir;
    std::ofstream(dir / "ZelHartDriver.reg")
        << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZelHartDriver]\n\"GAP\"=dword:"
           "00000004\n";
    FrameworkOptions options;
    options.registryFile = dir / "ZelHartDriver.reg";
    Framework fw(options);
    std::unique_ptr<RegistryKey> key;
    ASSERT_EQ(RegistryKey::Open(fw, fw.RegistryPath(), &key), STATUS_SUCCESS);
    uint32_t v = 0;
    EXPECT_EQ(key->QueryULong("GAP", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 4u);
    EXPECT_EQ(RegistryKey::Open(fw, "\\Registry\\Machine\\Elsewhere", &key), STATUS_OBJECT_NAME_NOT_FOUND);
}
