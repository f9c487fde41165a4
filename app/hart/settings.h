// The program's persistent per-user settings, as the core reads and writes them.
//
// The desktop program backs this with QSettings; the command-line front end and tests with memory.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace zelhart::hart {

// The one setting of the program: the number of the COM port whose HART device is used.
inline constexpr std::string_view kGeneralSection = "General";
inline constexpr std::string_view kPortSettingsKey = "PortSettings";
inline constexpr int kDefaultPort = 1;

class ISettings {
  public:
    virtual ~ISettings() = default;
    // The stored integer, or `defaultValue` when there is none (or it is not an integer).
    virtual int GetInt(std::string_view section, std::string_view key, int defaultValue) const = 0;
    virtual void SetInt(std::string_view section, std::string_view key, int value) = 0;
};

// Settings that live as long as the object.
class MemorySettings : public ISettings {
  public:
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const override {
        auto it = values_.find({std::string(section), std::string(key)});
        return it == values_.end() ? defaultValue : it->second;
    }
    void SetInt(std::string_view section, std::string_view key, int value) override {
        values_[{std::string(section), std::string(key)}] = value;
    }

  private:
    std::map<std::pair<std::string, std::string>, int> values_;
};

} // namespace zelhart::hart
