// The program's persistent per-user settings ("General"/"PortSettings") in QSettings: an INI file
// under the user's XDG configuration directory, organisation "Korvel 4810 Configuration Tool",
// application the program's title (string 57344).
#pragma once

#include "hart/settings.h"
#include "settings/ini_settings.h" // kOrganisation

#include <memory>
#include <string>

class QSettings;

namespace zelhart::settings {

class QtSettings : public hart::ISettings {
  public:
    // The program's own settings.
    QtSettings();
    // Settings of another organisation and application (UTF-8), in the same format and place.
    QtSettings(const std::string& organisation, const std::string& application);
    ~QtSettings() override;
    QtSettings(const QtSettings&) = delete;
    QtSettings& operator=(const QtSettings&) = delete;

    // A value that is missing or not an integer reads as `defaultValue`.
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const override;
    // Written to the file at once.
    void SetInt(std::string_view section, std::string_view key, int value) override;

    // The file that holds the settings.
    std::string FileName() const;

  private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace zelhart::settings
