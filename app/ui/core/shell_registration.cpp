#include "core/shell_registration.h"

#include "hart/strings.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace zelhart::ui {
namespace {

namespace fs = std::filesystem;

// Field `index` of the document template string (title, document name, new-file name, filter,
// extension, type id, type name).
std::string TemplateField(int index) {
    std::string_view text = hart::LoadString(hart::str::kDocumentTemplate);
    for (int i = 0; i < index; ++i) {
        const size_t lineBreak = text.find('\n');
        if (lineBreak == std::string_view::npos) return {};
        text.remove_prefix(lineBreak + 1);
    }
    return std::string(text.substr(0, text.find('\n')));
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes `text` to `path` unless it holds it already; true when written.
bool WriteIfDifferent(const fs::path& path, const std::string& text, std::string& error) {
    std::error_code ec;
    if (fs::exists(path, ec) && ReadAll(path) == text) return false;
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            error = "cannot write " + temporary.string();
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        error = "cannot write " + path.string() + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

std::string UserDataHome() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return data;
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.local/share";
    return {};
}

std::string QuoteExecArgument(const std::string& argument) {
    // Inside double quotes, '"', '`', '$' and '\' take a backslash; the desktop entry's own string
    // escaping then doubles every backslash.
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        if (c == '%') quoted += '%'; // a literal percent sign is written %%
        quoted += c;
    }
    return quoted + "\"";
}

std::string DesktopEntryText(const std::string& executable) {
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n";
    text += "Name=" + TemplateField(0) + "\n";
    text += "Comment=" + TemplateField(6) + "\n";
    text += "Exec=" + QuoteExecArgument(executable) + " %f\n";
    text += std::string("MimeType=") + kMimeType + ";\n";
    text += "Terminal=false\n"
            "Categories=Utility;\n";
    return text;
}

std::string MimePackageText() {
    // The extension field is ".4810"; the glob matches any name ending in it.
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                       "  <mime-type type=\"") +
           kMimeType + "\">\n    <comment>" + XmlEscaped(TemplateField(6)) + "</comment>\n    <glob pattern=\"*" +
           XmlEscaped(TemplateField(4)) + "\"/>\n  </mime-type>\n</mime-info>\n";
}

ShellRegistration RegisterShellFileType(const std::string& dataHome, const std::string& executable) {
    ShellRegistration result;
    if (dataHome.empty()) {
        result.error = "no data directory (neither XDG_DATA_HOME nor HOME is set)";
        return result;
    }
    const fs::path mimeDir = fs::path(dataHome) / "mime";
    const fs::path applicationsDir = fs::path(dataHome) / "applications";
    if (WriteIfDifferent(mimeDir / "packages" / kMimePackageFileName, MimePackageText(), result.error))
        result.changedMimeDirs.push_back(mimeDir.string());
    if (result.error.empty() &&
        WriteIfDifferent(applicationsDir / kDesktopFileName, DesktopEntryText(executable), result.error))
        result.changedApplicationDirs.push_back(applicationsDir.string());
    result.ok = result.error.empty();
    return result;
}

} // namespace zelhart::ui
