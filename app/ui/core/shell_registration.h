// The file type ".4810" registered with the desktop for the current user: a shared-mime-info type
// and an XDG desktop entry that opens such files with this program.
#pragma once

#include <string>
#include <vector>

namespace zelhart::ui {

inline constexpr const char* kMimeType = "application/x-korvel-4810";
inline constexpr const char* kDesktopFileName = "korvel-4810pc.desktop";
inline constexpr const char* kMimePackageFileName = "korvel-4810.xml";

// $XDG_DATA_HOME, else $HOME/.local/share; empty when neither is set.
std::string UserDataHome();

// The texts of the two files, for the program at `executable`.
std::string DesktopEntryText(const std::string& executable);
std::string MimePackageText();

// A command line argument quoted for the Exec key of a desktop entry.
std::string QuoteExecArgument(const std::string& argument);

struct ShellRegistration {
    bool ok = false;
    std::string error;
    // Directories whose file changed: their caches are to be rebuilt (update-mime-database for the
    // mime directory, update-desktop-database for the applications directory).
    std::vector<std::string> changedMimeDirs;
    std::vector<std::string> changedApplicationDirs;
};

// Writes both files under `dataHome` where they differ from what is there.
ShellRegistration RegisterShellFileType(const std::string& dataHome, const std::string& executable);

} // namespace zelhart::ui
