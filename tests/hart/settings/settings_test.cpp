// The program's per-user settings: QSettings (the desktop program) and the INI store without Qt
// (4810cli) keep one file; each reads what the other writes, both read a hand-edited file alike, and
// a damaged file is refused by the store without a crash and without being overwritten.
#include "settings/ini_settings.h"
#include "settings/qt_settings.h"

#include "hart/strings.h"
#include "temp_dir.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zelhart::settings {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(Settings, QSettingsAndTheIniStoreShareOneFile) {
    // QSettings takes the configuration directory once per process: this is the only test using it.
    zelhart::testing::TempDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    const std::string title(hart::LoadString(hart::str::kApplicationTitle));
    const std::string file = home / "Korvel 4810 Configuration Tool/Конфигурация датчика Корвел-4810.ini";
    const auto fileOf = [&](const std::string& app) { return IniFileName(kOrganisation, app, home.path().c_str(), "/x"); };
    EXPECT_EQ(fileOf(title), file);
    EXPECT_EQ(IniFileName(kOrganisation, title, "relative", "/srv/desk"),
              "/srv/desk/.config/Korvel 4810 Configuration Tool/Конфигурация датчика Корвел-4810.ini");
    EXPECT_EQ(IniFileName(kOrganisation, title, nullptr, ""), "");

    // Written by one, read by the other: the store writes what QSettings writes.
    {
        QtSettings settings;
        EXPECT_EQ(settings.FileName(), file);
        EXPECT_EQ(settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, hart::kDefaultPort), 1);
        settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, 7);
    }
    const std::string qtWritten = ReadAll(file);
    EXPECT_EQ(qtWritten, "[General]\nPortSettings=7\n");
    EXPECT_EQ(IniSettings(file).GetInt("General", "PortSettings", 1), 7);
    std::filesystem::remove(file);
    IniSettings(file).SetInt("General", "PortSettings", 7);
    EXPECT_EQ(ReadAll(file), qtWritten);

    // The desktop program's recent files survive the store's write; a new section reads in QSettings.
    const std::string recent = "/srv/desk/Файлы, \"мои\"/датчик 1.4810";
    {
        QSettings qt(QSettings::IniFormat, QSettings::UserScope, kOrganisation, "shared");
        qt.setValue("Recent File List/File1", QString::fromStdString(recent));
        qt.setValue("PortSettings", 3);
    }
    {
        IniSettings store(fileOf("shared"));
        EXPECT_EQ(store.GetInt("General", "PortSettings", 1), 3);
        store.SetInt("General", "PortSettings", 142);
        store.SetInt("Other settings", "Value", -5);
        EXPECT_EQ(store.Problem(), "");
    }
    {
        QtSettings qt(kOrganisation, "shared");
        EXPECT_EQ(qt.GetInt("General", "PortSettings", 1), 142);
        EXPECT_EQ(qt.GetInt("Other settings", "Value", 0), -5);
        qt.SetInt("General", "PortSettings", 17);
        EXPECT_EQ(QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, "shared")
                      .value("Recent File List/File1")
                      .toString()
                      .toStdString(),
                  recent);
    }
    EXPECT_EQ(IniSettings(fileOf("shared")).GetInt("General", "PortSettings", 1), 17);

    // Files edited by hand read alike in both.
    struct Case {
        const char* text;
        int port; // PortSettings of the top level, 1 when missing or no number
    };
    const Case cases[] = {
        {"[General]\nPortSettings=7\n", 7},
        {"PortSettings=7\n", 7},
        {"[general]\nPortSettings=7\n", 7},
        {"[%General]\nPortSettings=7\n", 1},
        {"[Other]\nPortSettings=9\n", 1},
        {"[Recent%20File%20List]\nFile1=/a\n[General]\nPortSettings=10\n", 10},
        {"[General]\nPortSettings = 12 \n", 12},
        {"[General]\nPortSettings=\" 5\"\n", 5},
        {"[General]\nPortSettings=5, 6\n", 1},
        {"[General]\nPortSettings=\"5, 6\"\n", 1},
        {"[General]\nPortSettings=+9\n", 9},
        {"[General]\nPortSettings=+-9\n", 1},
        {"[General]\nPortSettings=-3\n", -3},
        {"[General]\nPortSettings=007\n", 7},
        {"[General]\nPortSettings=0x10\n", 1},
        {"[General]\nPortSettings=99999999999\n", 1}, // beyond int: no number (QVariant::toInt cut it)
        {"[General]\nPortSettings=seven\n", 1},
        {"[General]\nPortSettings=1 2\n", 1},
        {"[General]\nPortSettings=\n", 1},
        {"[General]\nPortSettings\n", 1},
        {"[General]\nPortSettings=3 ; a comment\n", 3},
        {";PortSettings=4\n[General]\n", 1},
        {"#PortSettings=4\n", 1},
        {"[General]\nPortSettings=2\nPortSettings=8\n", 8},
        {"[General]\r\nPortSettings=6\r\n", 6},
        {"\xEF\xBB\xBF[General]\nPortSettings=6\n", 6},
        {"[General]\nPort%53ettings=11\n", 11},
        {"[General]\nPortSettings=\\x31\\62\n", 12},
        {"[General]\nPortSettings=1\\\n5\n", 15},
        {"[General]\nPortSettings=@String(13)\n", 13},
        {"[General]\nPortSettings=@@13\n", 1},
        {"[General\nPortSettings=4\n", 4},
        {"[General]\nPortSettings=\"4\n", 4},
    };
    int row = 0;
    for (const Case& c : cases) {
        const std::string app = "case" + std::to_string(row++);
        WriteAll(fileOf(app), c.text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(QtSettings(kOrganisation, app).GetInt("General", "PortSettings", 1), c.port);
        EXPECT_EQ(IniSettings(fileOf(app)).GetInt("General", "PortSettings", 1), c.port);
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST(IniSettings, KeysEscapeAsInQSettings) {
    EXPECT_EQ(EscapeIniKey("Recent File List"), "Recent%20File%20List");
    EXPECT_EQ(EscapeIniKey("a/b_c-d.e"), "a\\b_c-d.e");
    EXPECT_EQ(EscapeIniKey("Порт"), "%U041F%U043E%U0440%U0442");
    for (const char* key : {"Recent File List", "a/b", "Порт №1", "100%"})
        EXPECT_EQ(UnescapeIniKey(EscapeIniKey(key)), key);
    EXPECT_EQ(UnescapeIniKey("%zz%4"), "%zz%4");
}

TEST(IniSettings, ADamagedFileIsReportedNotUsedAndKeptAsItIs) {
    zelhart::testing::TempDir dir;
    const std::string valid = "[General]\nPortSettings=9\n";
    struct Case {
        std::string text; // empty: a directory in the file's place
        const char* problem;
    };
    const Case cases[] = {
        {valid + std::string(kMaxIniFileBytes - valid.size() + 1, ';'), "is larger than 1048576 bytes"},
        {valid + std::string("File1=a\0b\n", 10), "is damaged (it holds a NUL byte)"},
        {"", "is not a regular file"},
    };
    for (const Case& c : cases) {
        const std::string file = dir / "settings.ini";
        std::filesystem::remove_all(file);
        if (c.text.empty()) {
            std::filesystem::create_directory(file);
        } else {
            WriteAll(file, c.text);
        }
        IniSettings store(file);
        EXPECT_EQ(store.GetInt("General", "PortSettings", 1), 1) << c.problem;
        EXPECT_NE(store.Problem().find(c.problem), std::string::npos) << store.Problem();
        store.SetInt("General", "PortSettings", 4);
        EXPECT_NE(store.Problem().find("not saved"), std::string::npos);
        if (!c.text.empty()) {
            EXPECT_EQ(ReadAll(file), c.text);
        }
    }
    // The bound itself is a file that is read.
    const std::string file = dir / "bound.ini";
    WriteAll(file, valid + std::string(kMaxIniFileBytes - valid.size(), '\n'));
    EXPECT_EQ(IniSettings(file).GetInt("General", "PortSettings", 1), 9);
    IniSettings nowhere("");
    EXPECT_EQ(nowhere.GetInt("General", "PortSettings", 1), 1);
    EXPECT_NE(nowhere.Problem(), "");
}

} // namespace
} // namespace zelhart::settings
