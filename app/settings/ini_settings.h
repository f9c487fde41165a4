// The program's per-user settings without Qt: the same INI file that QSettings keeps for the desktop
// program (organisation "Korvel 4810 Configuration Tool", application the program's title), read and
// written the way QSettings reads and writes it, so that a port chosen in 4810PC is the port of 4810cli
// and the other way round.
//
// The file's top-level section is "[General]" (QSettings' name for its keys outside any group); the
// program's section "General" is that top level, as in QtSettings. Keys and section names are
// escaped as QSettings escapes them (%XX, %UXXXX); a value is read as QSettings reads it (quotes,
// backslash escapes, a comma making a list, which is no number; of QSettings' @-forms only @String
// and @ByteArray, since QSettings writes a number as its digits, never as a serialised @Variant). Writing changes only the line of the
// key (or adds it) and keeps every other line of the file, the desktop program's recent files among
// them; the new file replaces the old one whole (written beside it, then renamed).
//
// The file is bounded: one larger than kMaxIniFileBytes, holding a NUL byte or not readable is not
// used: every value reads as its default, Problem() says why, and the file is never overwritten.
#pragma once

#include "hart/settings.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::settings {

// The organisation under which QSettings keeps the program's settings.
inline constexpr const char* kOrganisation = "Korvel 4810 Configuration Tool";

inline constexpr std::size_t kMaxIniFileBytes = 1024 * 1024;

// Where QSettings keeps the INI file of `organisation` and `application` for the user:
// $XDG_CONFIG_HOME (when it is an absolute path), else $HOME/.config. Empty without either.
std::string IniFileName(std::string_view organisation, std::string_view application, const char* xdgConfigHome,
                        const char* home);

// QSettings' INI escaping of a key or section name, and its reading back.
std::string EscapeIniKey(std::string_view key);
std::string UnescapeIniKey(std::string_view text);
// A value as QSettings reads it: nullopt for a list ("1, 2") or an escape that makes no character.
std::optional<std::string> UnescapeIniValue(std::string_view text);

class IniSettings : public hart::ISettings {
  public:
    // The program's own settings file (IniFileName of the environment), read now.
    static IniSettings ForProgram();
    explicit IniSettings(std::string fileName);

    // A value that is missing or not an integer (as QVariant::toInt takes it) reads as `defaultValue`.
    int GetInt(std::string_view section, std::string_view key, int defaultValue) const override;
    // Written to the file at once; Problem() tells when it could not be.
    void SetInt(std::string_view section, std::string_view key, int value) override;

    const std::string& FileName() const { return fileName_; }
    // Why the file is not used or was not written, in a sentence; empty when all is well.
    const std::string& Problem() const { return problem_; }

  private:
    // One "key=value" line of the file: the section it is in ("General" for the top level), its key
    // as QSettings reads it, its value as written, and where the line is in data_.
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
        std::size_t start = 0, length = 0;
    };
    // A section of the file and the end of its last line (its header's or its last entry's).
    struct Section {
        std::string name;
        std::size_t end = 0;
    };
    void Parse();
    const Entry* Find(std::string_view section, std::string_view key) const;

    std::string fileName_;
    std::string data_;
    std::vector<Entry> entries_;
    std::vector<Section> sections_;
    bool usable_ = true;
    std::string problem_;
};

} // namespace zelhart::settings
