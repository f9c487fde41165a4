// The program's per-user settings in QSettings: where they live, how they read back, what a damaged
// value reads as.
#include "settings/qt_settings.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zelhart::settings {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(QtSettings, PortSettingLivesInTheUsersIniFile) {
    // QSettings takes the configuration directory once per process: this is the only test using it.
    zelhart::testing::TempDir home;
    ::setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    const std::string file = home / "Korvel 4810 Configuration Tool/Конфигурация датчика Корвел-4810.ini";
    {
        QtSettings settings;
        EXPECT_EQ(settings.FileName(), file);
        EXPECT_EQ(settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, hart::kDefaultPort), 1);
        settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, 7);
    }
    EXPECT_EQ(ReadAll(file), "[General]\nPortSettings=7\n");
    EXPECT_EQ(QtSettings().GetInt("General", "PortSettings", 1), 7);

    // Written by hand: another section, a value that is no number.
    std::ofstream(file) << "[General]\nPortSettings=seven\n[Other]\nValue=12\n";
    QtSettings settings;
    EXPECT_EQ(settings.GetInt("General", "PortSettings", 1), 1);
    EXPECT_EQ(settings.GetInt("Other", "Value", 0), 12);
    EXPECT_EQ(settings.GetInt("Other", "Missing", -5), -5);
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace zelhart::settings
