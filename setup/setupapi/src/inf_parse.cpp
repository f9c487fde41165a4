// The INF syntax. Free of system calls except ReadInfFile.
#include "fs_util.h"
#include "zelhart/setupapi/inf_file.h"

namespace zelhart::setupapi {
namespace {

using detail::EqualsNoCase;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

struct RawLine {
    int number = 0;
    bool hasKey = false;
    std::string key;
    std::vector<std::string> values;
};

struct RawSection {
    std::string name;
    std::vector<RawLine> lines;
};

class Tokenizer {
  public:
    DWORD Fail(DWORD code, int line, const std::string& why) {
        reason = "line " + std::to_string(line) + ": " + why;
        return code;
    }

    // One token up to an unquoted comma, '=' (when `stopAtEquals`), ';' or the end. Quotes are removed
    // ("" inside quotes is one quote); unquoted blanks around the token are trimmed.
    DWORD Token(std::string_view line, size_t* pos, bool stopAtEquals, int number, std::string* out) {
        std::string token;
        bool quoted = false, anyQuote = false;
        size_t trailingBlanks = 0;
        size_t i = *pos;
        for (; i < line.size(); ++i) {
            char c = line[i];
            if (quoted) {
                if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                    token += '"';
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                } else {
                    token += c;
                }
                trailingBlanks = 0;
                continue;
            }
            if (c == ',' || c == ';' || (stopAtEquals && c == '=')) break;
            if (c == '"') {
                quoted = anyQuote = true;
                continue;
            }
            if ((c == ' ' || c == '\t') && token.empty() && !anyQuote) continue;
            token += c;
            trailingBlanks = (c == ' ' || c == '\t') ? trailingBlanks + 1 : 0;
        }
        if (quoted) return Fail(ERROR_GENERAL_SYNTAX, number, "unterminated quoted string");
        token.resize(token.size() - trailingBlanks);
        *pos = i;
        *out = std::move(token);
        return ERROR_SUCCESS;
    }

    DWORD Entry(std::string_view line, int number, RawLine* out) {
        out->number = number;
        size_t pos = 0;
        std::string first;
        if (DWORD e = Token(line, &pos, true, number, &first)) return e;
        if (pos < line.size() && line[pos] == '=') {
            out->hasKey = true;
            out->key = std::move(first);
            ++pos;
            first.clear();
            if (DWORD e = Token(line, &pos, false, number, &first)) return e;
        }
        out->values.push_back(std::move(first));
        while (pos < line.size() && line[pos] == ',') {
            ++pos;
            if (out->values.size() >= kMaxInfValuesPerLine)
                return Fail(ERROR_GENERAL_SYNTAX, number, "more than " + std::to_string(kMaxInfValuesPerLine) + " values");
            std::string v;
            if (DWORD e = Token(line, &pos, false, number, &v)) return e;
            out->values.push_back(std::move(v));
        }
        if (pos < line.size() && line[pos] == '=') return Fail(ERROR_GENERAL_SYNTAX, number, "a second '='");
        // Anything left starts a comment.
        if (out->values.size() == 1 && out->values[0].empty() && !out->hasKey) out->values.clear();
        return ERROR_SUCCESS;
    }

    DWORD Run(std::string_view text, std::vector<RawSection>* sections) {
        if (text.size() > kMaxInfBytes)
            return Fail(ERROR_GENERAL_SYNTAX, 0, "larger than " + std::to_string(kMaxInfBytes) + " bytes");
        if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        if (text.find('\0') != std::string_view::npos)
            return Fail(ERROR_WRONG_INF_STYLE, 1, "not a text INF (UTF-16 INF files are not read here)");
        int number = 0;
        for (size_t pos = 0; pos < text.size();) {
            size_t eol = text.find('\n', pos);
            if (eol == std::string_view::npos) eol = text.size();
            std::string_view line = text.substr(pos, eol - pos);
            pos = eol + 1;
            ++number;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.size() > kMaxInfLineLength)
                return Fail(ERROR_GENERAL_SYNTAX, number, "longer than " + std::to_string(kMaxInfLineLength) + " bytes");
            for (unsigned char c : line)
                if ((c < 0x20 && c != '\t') || c == 0x7f) return Fail(ERROR_GENERAL_SYNTAX, number, "control character");
            line = Trim(line);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                if (DWORD e = Header(line, number, sections)) return e;
                continue;
            }
            if (sections->empty()) return Fail(ERROR_EXPECTED_SECTION_NAME, number, "a line before the first section");
            RawLine entry;
            if (DWORD e = Entry(line, number, &entry)) return e;
            if (!entry.hasKey && entry.values.empty()) continue;
            sections->back().lines.push_back(std::move(entry));
        }
        return ERROR_SUCCESS;
    }

    DWORD Header(std::string_view line, int number, std::vector<RawSection>* sections) {
        auto close = line.find(']');
        if (close == std::string_view::npos) return Fail(ERROR_BAD_SECTION_NAME_LINE, number, "no ']' after the section name");
        std::string_view rest = Trim(line.substr(close + 1));
        if (!rest.empty() && rest.front() != ';')
            return Fail(ERROR_BAD_SECTION_NAME_LINE, number, "text after the section name");
        std::string_view name = Trim(line.substr(1, close - 1));
        if (name.empty()) return Fail(ERROR_BAD_SECTION_NAME_LINE, number, "empty section name");
        if (name.size() > kMaxInfSectionNameLength) return Fail(ERROR_SECTION_NAME_TOO_LONG, number, "section name too long");
        // Repeated sections merge: later lines go to the section first seen.
        for (size_t i = 0; i < sections->size(); ++i) {
            if (EqualsNoCase((*sections)[i].name, name)) {
                auto moved = std::move((*sections)[i]);
                sections->erase(sections->begin() + static_cast<ptrdiff_t>(i));
                sections->push_back(std::move(moved));
                return ERROR_SUCCESS;
            }
        }
        if (sections->size() >= kMaxInfSections)
            return Fail(ERROR_GENERAL_SYNTAX, number, "more than " + std::to_string(kMaxInfSections) + " sections");
        sections->push_back(RawSection{std::string(name), {}});
        return ERROR_SUCCESS;
    }

    std::string reason;
};

// %strkey% from [Strings]; %% is one %; an unknown key stays as it is. Nothing when the result would
// be longer than a line may be.
std::optional<std::string> Substitute(const std::string& text, const RawSection* strings) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (out.size() > kMaxInfLineLength) return std::nullopt;
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        size_t end = text.find('%', i + 1);
        if (end == std::string::npos) {
            out.append(text, i, std::string::npos);
            break;
        }
        std::string_view key(text.data() + i + 1, end - i - 1);
        if (key.empty()) {
            out += '%';
        } else {
            const RawLine* found = nullptr;
            if (strings)
                for (const RawLine& l : strings->lines)
                    if (l.hasKey && EqualsNoCase(l.key, key) && !l.values.empty()) found = &l;
            if (found) out += found->values[0];
            else out.append(text, i, end - i + 1);
        }
        i = end;
    }
    if (out.size() > kMaxInfLineLength) return std::nullopt;
    return out;
}

} // namespace

DWORD InfFile::Parse(std::string_view text, InfFile* out, std::string* reason) {
    Tokenizer tokenizer;
    std::vector<RawSection> raw;
    if (DWORD e = tokenizer.Run(text, &raw)) {
        if (reason) *reason = tokenizer.reason;
        return e;
    }
    const RawSection* strings = nullptr;
    for (const RawSection& s : raw)
        if (EqualsNoCase(s.name, "Strings")) strings = &s;
    // Substitution is bounded as the text is: a short line of many keys must not grow into megabytes.
    InfFile inf;
    size_t total = 0;
    for (const RawSection& s : raw) {
        InfSection section{s.name, {}};
        for (const RawLine& l : s.lines) {
            auto tooLong = [&](const std::string& what) {
                if (reason)
                    *reason = "line " + std::to_string(l.number) + ": " + what + " once %strkey% are substituted";
                return ERROR_GENERAL_SYNTAX;
            };
            const std::string valueTooLong =
                "a key or value longer than " + std::to_string(kMaxInfLineLength) + " bytes";
            auto key = Substitute(l.key, strings);
            if (!key) return tooLong(valueTooLong);
            InfLine line{l.number, l.hasKey, std::move(*key), {}};
            total += line.key.size();
            for (const std::string& v : l.values) {
                auto value = strings == &s ? std::optional<std::string>(v) : Substitute(v, strings);
                if (!value) return tooLong(valueTooLong);
                total += value->size();
                line.values.push_back(std::move(*value));
            }
            if (total > kMaxInfSubstitutedBytes)
                return tooLong("the file larger than " + std::to_string(kMaxInfSubstitutedBytes) + " bytes");
            section.lines.push_back(std::move(line));
        }
        inf.sections_.push_back(std::move(section));
    }
    *out = std::move(inf);
    return ERROR_SUCCESS;
}

const InfSection* InfFile::Section(std::string_view name) const {
    for (const InfSection& s : sections_)
        if (EqualsNoCase(s.name, name)) return &s;
    return nullptr;
}

std::optional<std::string> InfFile::Value(std::string_view section, std::string_view key) const {
    const InfSection* s = Section(section);
    if (!s) return std::nullopt;
    for (const InfLine& l : s->lines)
        if (l.hasKey && EqualsNoCase(l.key, key)) return l.values.empty() ? std::string() : l.values[0];
    return std::nullopt;
}

DWORD ReadInfFile(const std::string& path, InfFile* out, std::string* reason) {
    std::string text;
    DWORD e = detail::ReadWholeFile(path, kMaxInfBytes, &text);
    if (e == ERROR_INVALID_DATA) {
        if (reason) *reason = "larger than " + std::to_string(kMaxInfBytes) + " bytes";
        return ERROR_GENERAL_SYNTAX;
    }
    if (e != ERROR_SUCCESS) {
        if (reason) *reason = "cannot be read";
        return e;
    }
    return InfFile::Parse(text, out, reason);
}

} // namespace zelhart::setupapi
