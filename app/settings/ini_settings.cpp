#include "settings/ini_settings.h"

#include "hart/strings.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace zelhart::settings {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// The UTF-16 code units of UTF-8 text, as QString holds it (a broken sequence is U+FFFD).
std::vector<unsigned> Utf16(std::string_view s) {
    std::vector<unsigned> units;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        unsigned code = length == 1 ? b : length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = length > 0 && i + std::size_t(length) <= s.size();
        for (int k = 1; ok && k < length; ++k) {
            const auto c = static_cast<unsigned char>(s[i + std::size_t(k)]);
            ok = (c >> 6) == 2;
            code = (code << 6) | (c & 0x3F);
        }
        if (!ok) {
            units.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            units.push_back(0xD800 + ((code - 0x10000) >> 10));
            units.push_back(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            units.push_back(code);
        }
        i += std::size_t(length);
    }
    return units;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// QString::toInt (and QByteArray::toInt): spaces around, a sign, decimal digits, within int.
std::optional<int> ToInt(std::string_view text) {
    text = Trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string SectionHeader(std::string_view section) {
    if (section == hart::kGeneralSection) return "[General]";
    // A group called "general" in any case would read as the top level: QSettings marks it with %.
    if (EqualsNoCase(section, "general")) return "[%" + std::string(section) + "]";
    return "[" + EscapeIniKey(section) + "]";
}

} // namespace

std::string IniFileName(std::string_view organisation, std::string_view application, const char* xdgConfigHome,
                        const char* home) {
    std::string dir;
    if (xdgConfigHome && xdgConfigHome[0] == '/') {
        dir = xdgConfigHome;
    } else if (home && home[0] != '\0') {
        dir = std::string(home) + "/.config";
    } else {
        return {};
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir + "/" + std::string(organisation) + "/" + std::string(application) + ".ini";
}

std::string EscapeIniKey(std::string_view key) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned ch : Utf16(key)) {
        if (ch == '/') {
            out += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                   ch == '-' || ch == '.') {
            out += char(ch);
        } else if (ch <= 0xFF) {
            out += '%';
            out += kHex[ch / 16];
            out += kHex[ch % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(ch >> shift) & 0xF];
        }
    }
    return out;
}

std::string UnescapeIniKey(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const char ch = text[i];
        if (ch == '\\') {
            out += '/';
            ++i;
            continue;
        }
        if (ch != '%' || i + 1 == text.size()) {
            out += ch;
            ++i;
            continue;
        }
        std::size_t first = i + 1;
        std::size_t digits = 2;
        if (text[first] == 'U') {
            ++first;
            digits = 4;
        }
        unsigned code = 0;
        bool ok = first + digits <= text.size();
        for (std::size_t k = 0; ok && k < digits; ++k) {
            const int d = HexDigit(text[first + k]);
            ok = d >= 0;
            code = code * 16 + unsigned(d < 0 ? 0 : d);
        }
        if (!ok) {
            out += '%';
            ++i;
            continue;
        }
        AppendUtf8(out, code);
        i = first + digits;
    }
    return out;
}

std::optional<std::string> UnescapeIniValue(std::string_view text) {
    std::string out;
    bool quoted = false, inQuotes = false;
    std::size_t chopLimit = 0; // trailing spaces after this are not the value's (outside quotes)
    std::size_t i = 0;
    const auto skipSpaces = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    };
    skipSpaces();
    while (i < text.size()) {
        const char ch = text[i];
        if (ch == '\\') {
            if (++i >= text.size()) break;
            const char e = text[i++];
            static constexpr std::string_view kFrom = "abfnrtv\"?'\\", kTo = "\a\b\f\n\r\t\v\"?'\\";
            if (const auto at = kFrom.find(e); at != std::string_view::npos) {
                out += kTo[at];
            } else if (e == 'x' && i < text.size() && HexDigit(text[i]) >= 0) {
                unsigned code = 0;
                while (i < text.size() && HexDigit(text[i]) >= 0) code = ((code << 4) + unsigned(HexDigit(text[i++]))) & 0xFFFF;
                AppendUtf8(out, code);
            } else if (e >= '0' && e <= '7') {
                unsigned code = unsigned(e - '0');
                while (i < text.size() && text[i] >= '0' && text[i] <= '7') code = ((code << 3) + unsigned(text[i++] - '0')) & 0xFFFF;
                AppendUtf8(out, code);
            } else if (e == '\n' || e == '\r') {
                if (i < text.size() && (text[i] == '\n' || text[i] == '\r') && text[i] != e) ++i;
            } // any other escaped character is dropped
            chopLimit = out.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) skipSpaces();
            chopLimit = out.size();
        } else if (ch == ',' && !inQuotes) {
            return std::nullopt; // a list, never one number
        } else {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != '\\' && text[j] != '"' && text[j] != ',') ++j;
            out.append(text.substr(i, j - i));
            i = j;
        }
    }
    if (!quoted) {
        while (out.size() > chopLimit && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
    }
    return out;
}

IniSettings IniSettings::ForProgram() {
    return IniSettings(IniFileName(kOrganisation, hart::LoadString(hart::str::kApplicationTitle),
                                   std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
}

IniSettings::IniSettings(std::string fileName) : fileName_(std::move(fileName)) {
    if (fileName_.empty()) {
        usable_ = false;
        problem_ = "no settings file: neither XDG_CONFIG_HOME nor HOME is set; the defaults are used";
        return;
    }
    [&] {
        std::error_code ec;
        if (!std::filesystem::exists(fileName_, ec)) return; // no settings yet
        const auto refuse = [&](const std::string& why) {
            usable_ = false;
            data_.clear();
            problem_ = "the settings file '" + fileName_ + "' " + why + ": it is not used, the defaults are";
        };
        if (!std::filesystem::is_regular_file(fileName_, ec)) return refuse("is not a regular file");
        std::ifstream in(fileName_, std::ios::binary);
        if (!in) return refuse("cannot be read");
        data_.resize(kMaxIniFileBytes + 1);
        in.read(data_.data(), std::streamsize(data_.size()));
        if (in.bad()) return refuse("cannot be read");
        data_.resize(std::size_t(in.gcount()));
        if (data_.size() > kMaxIniFileBytes)
            return refuse("is larger than " + std::to_string(kMaxIniFileBytes) + " bytes");
        if (data_.find('\0') != std::string::npos) return refuse("is damaged (it holds a NUL byte)");
        Parse();
    }();
}

// The file read as QSettings reads an INI file: lines (a quoted value may go on over a line end, so
// may a backslash at its end), ";" begins a comment, "[name]" a section, "key=value" a value.
void IniSettings::Parse() {
    entries_.clear();
    sections_.assign(1, Section{std::string(hart::kGeneralSection), 0});
    bool topLevelSeen = false;
    std::size_t pos = data_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    const std::size_t size = data_.size();
    for (;;) {
        // One line, as QSettings' readIniLine cuts it.
        std::size_t start = pos;
        while (start < size && IsSpace(data_[start])) ++start;
        std::size_t i = start, equals = std::string::npos;
        bool inQuotes = false;
        while (i < size) {
            const char ch = data_[i++];
            if (ch == '=') {
                if (!inQuotes && equals == std::string::npos) equals = i - 1;
            } else if (ch == '\n' || ch == '\r') {
                if (i == start + 1) {
                    ++start;
                } else if (!inQuotes) {
                    --i;
                    break;
                }
            } else if (ch == '\\') {
                if (i < size) {
                    const char c1 = data_[i++];
                    if (i < size && ((c1 == '\n' && data_[i] == '\r') || (c1 == '\r' && data_[i] == '\n'))) ++i;
                }
            } else if (ch == '"') {
                inQuotes = !inQuotes;
            } else if (ch == ';') {
                if (i == start + 1) { // a comment line
                    while (i < size && data_[i] != '\n' && data_[i] != '\r') ++i;
                    while (i < size && IsSpace(data_[i])) ++i;
                    start = i;
                    equals = std::string::npos;
                } else if (!inQuotes) {
                    --i;
                    break;
                }
            }
        }
        pos = i;
        if (i <= start) break;
        const std::string_view line(data_.data() + start, i - start);
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view raw = Trimmed(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            std::string name;
            if (EqualsNoCase(raw, "general")) {
                name = hart::kGeneralSection;
            } else if (!EqualsNoCase(raw, "%general")) {
                name = UnescapeIniKey(raw);
                if (name == hart::kGeneralSection) name.clear(); // a group "General" is not the top level
            } // "[%General]" is a group "General", which no section of ours is: the empty name
            sections_.push_back(Section{std::move(name), start + line.size()});
            continue;
        }
        if (equals == std::string::npos) continue; // neither a section nor a value: QSettings skips it
        Section& section = sections_.back();
        if (sections_.size() == 1) topLevelSeen = true;
        section.end = start + line.size();
        entries_.push_back(Entry{section.name, UnescapeIniKey(Trimmed(line.substr(0, equals - start))),
                                 std::string(line.substr(equals - start + 1)), start, line.size()});
    }
    if (!topLevelSeen) sections_.erase(sections_.begin()); // no key before the first header
}

const IniSettings::Entry* IniSettings::Find(std::string_view section, std::string_view key) const {
    const Entry* found = nullptr; // the last one counts, as in QSettings
    for (const Entry& e : entries_)
        if (e.section == section && e.key == key) found = &e;
    return found;
}

int IniSettings::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
    const Entry* e = Find(section, key);
    if (!e) return defaultValue;
    std::optional<std::string> value = UnescapeIniValue(e->value);
    if (!value) return defaultValue;
    // QSettings' own markings of a value's type: of them only a string or bytes can hold a number.
    std::string_view text = *value;
    if (text.starts_with('@')) {
        if (text.starts_with("@String(") && text.ends_with(')')) {
            text = text.substr(8, text.size() - 9);
        } else if (text.starts_with("@ByteArray(") && text.ends_with(')')) {
            text = text.substr(11, text.size() - 12);
        } else {
            return defaultValue;
        }
    }
    return ToInt(text).value_or(defaultValue);
}

void IniSettings::SetInt(std::string_view section, std::string_view key, int value) {
    if (!usable_) {
        problem_ += "; the setting was not saved";
        return;
    }
    const std::string line = EscapeIniKey(key) + "=" + std::to_string(value);
    if (const Entry* e = Find(section, key)) {
        data_.replace(e->start, e->length, line);
    } else {
        const Section* found = nullptr;
        for (const Section& s : sections_)
            if (s.name == section) found = &s;
        if (found) {
            data_.insert(found->end, "\n" + line);
        } else if (section == hart::kGeneralSection) {
            // QSettings writes its top level first.
            const std::size_t at = data_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
            data_.insert(at, "[General]\n" + line + "\n" + (data_.size() > at ? "\n" : ""));
        } else {
            if (!data_.empty()) data_ += data_.back() == '\n' ? "\n" : "\n\n";
            data_ += SectionHeader(section) + "\n" + line + "\n";
        }
    }
    Parse();

    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(fileName_);
    fs::create_directories(path.parent_path(), ec);
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << data_;
        out.close();
        if (!out) {
            fs::remove(temporary, ec);
            problem_ = "the settings file '" + fileName_ + "' cannot be written";
            return;
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        problem_ = "the settings file '" + fileName_ + "' cannot be written";
    }
}

} // namespace zelhart::settings
