#include "zelhart/drvfw/registry.h"

#include "zelhart/drvfw/framework.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace zelhart::drvfw {
namespace {

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

std::string_view Trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && Upper(s.substr(0, prefix.size())) == Upper(prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE units -> UTF-8; unpaired surrogates become U+FFFD.
std::string FromUtf16(const uint8_t* p, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = p[2 * i] | (p[2 * i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t lo = p[2 * i + 2] | (p[2 * i + 3] << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
    }
    return out;
}

// UTF-8 -> UTF-16LE with a terminating NUL; malformed sequences become U+FFFD.
std::vector<uint8_t> ToUtf16(std::string_view s) {
    std::vector<uint8_t> out;
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (size_t i = 0; i < s.size();) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        uint32_t cp = extra == 0 ? c : extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
        bool ok = extra >= 0;
        for (int k = 1; ok && k <= extra; ++k) {
            if (i + k >= s.size() || (static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            unit(0xFFFD);
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    unit(0);
    return out;
}

// A quoted string at the start of `s` (which begins with '"'); sets *rest past the closing quote.
std::optional<std::string> Quoted(std::string_view s, std::string_view* rest) {
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *rest = s.substr(i + 1);
            return out;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) c = s[++i];
        out += c;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> HexList(std::string_view s) {
    std::vector<uint8_t> bytes;
    s = Trim(s);
    if (s.empty()) return bytes;
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        std::string_view item =
            Trim(s.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
        if (item.empty() || item.size() > 2) return std::nullopt;
        int value = 0;
        for (char c : item) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<uint8_t>(value));
        if (bytes.size() > RegistryFile::kMaxLineLength) return std::nullopt;
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return bytes;
}

// The data after '=': nothing for garbage; a value of type REG_NONE with no data for "-" (delete).
std::optional<RegistryValue> ParseData(std::string_view data) {
    data = Trim(data);
    if (data == "-") return RegistryValue{REG_NONE, {}};
    if (!data.empty() && data[0] == '"') {
        std::string_view rest;
        auto text = Quoted(data, &rest);
        if (!text || !Trim(rest).empty()) return std::nullopt;
        return RegistryValue{REG_SZ, ToUtf16(*text)};
    }
    if (StartsWith(data, "dword:")) {
        std::string_view digits = data.substr(6);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t v = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            v = (v << 4) | static_cast<uint32_t>(d);
        }
        RegistryValue r{REG_DWORD, std::vector<uint8_t>(4)};
        std::memcpy(r.data.data(), &v, 4);
        return r;
    }
    uint32_t type = REG_BINARY;
    std::string_view list;
    if (StartsWith(data, "hex:")) {
        list = data.substr(4);
    } else if (StartsWith(data, "hex(")) {
        size_t close = data.find("):");
        if (close == std::string_view::npos || close == 4 || close > 12) return std::nullopt;
        type = 0;
        for (char c : data.substr(4, close - 4)) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            type = (type << 4) | static_cast<uint32_t>(d);
        }
        list = data.substr(close + 2);
    } else {
        return std::nullopt;
    }
    auto bytes = HexList(list);
    if (!bytes) return std::nullopt;
    return RegistryValue{type, std::move(*bytes)};
}

std::string DecodeText(std::string_view raw) {
    if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE)
        return FromUtf16(reinterpret_cast<const uint8_t*>(raw.data()) + 2, (raw.size() - 2) / 2);
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    return std::string(raw);
}

} // namespace

class RegistryParser {
  public:
    explicit RegistryParser(RegistryFile& file) : file_(file) {}

    void Line(std::string_view line) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || StartsWith(line, "Windows Registry Editor") ||
            StartsWith(line, "REGEDIT"))
            return;
        if (line[0] == '[') return KeyLine(line);
        ValueLine(line);
    }

    void Skip() { file_.skipped_++; }

  private:
    void KeyLine(std::string_view line) {
        if (line.back() != ']' || line.size() < 3) return Skip();
        std::string_view path = line.substr(1, line.size() - 2);
        bool remove = path[0] == '-';
        if (remove) path.remove_prefix(1);
        std::string key = RegistryFile::NormalizeKeyPath(path);
        if (key.empty()) return Skip();
        if (remove) {
            file_.keys_.erase(key);
            current_ = nullptr;
            return;
        }
        if (!file_.keys_.count(key) && file_.keys_.size() >= RegistryFile::kMaxKeys) {
            current_ = nullptr;
            return Skip();
        }
        current_ = &file_.keys_[key];
    }

    void ValueLine(std::string_view line) {
        if (!current_) return Skip(); // a value outside any key
        std::string name;
        std::string_view rest;
        if (line[0] == '@') {
            rest = line.substr(1);
        } else if (line[0] == '"') {
            auto quoted = Quoted(line, &rest);
            if (!quoted) return Skip();
            name = *quoted;
        } else {
            return Skip();
        }
        rest = Trim(rest);
        if (rest.empty() || rest[0] != '=') return Skip();
        auto value = ParseData(rest.substr(1));
        if (!value) return Skip();
        std::string key = Upper(name);
        if (value->type == REG_NONE && value->data.empty() && Trim(rest.substr(1)) == "-") {
            current_->erase(key);
            return;
        }
        if (!current_->count(key) && current_->size() >= RegistryFile::kMaxValuesPerKey) return Skip();
        (*current_)[key] = std::move(*value);
    }

    RegistryFile& file_;
    std::map<std::string, RegistryValue>* current_ = nullptr;
};

std::string RegistryFile::NormalizeKeyPath(std::string_view path) {
    std::string p = Upper(Trim(path));
    static constexpr std::pair<std::string_view, std::string_view> kRoots[] = {
        {"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"},
        {"HKLM", "\\REGISTRY\\MACHINE"},
        {"HKEY_USERS", "\\REGISTRY\\USER"},
        {"HKU", "\\REGISTRY\\USER"}};
    for (auto [root, native] : kRoots)
        if (p.compare(0, root.size(), root) == 0 && (p.size() == root.size() || p[root.size()] == '\\')) {
            p = std::string(native) + p.substr(root.size());
            break;
        }
    std::string out;
    for (char c : p)
        if (!(c == '\\' && !out.empty() && out.back() == '\\')) out += c;
    while (!out.empty() && out.back() == '\\')
        out.pop_back();
    return out;
}

RegistryFile RegistryFile::Parse(std::string_view raw) {
    RegistryFile file;
    RegistryParser parser(file);
    std::string text = DecodeText(raw.substr(0, kMaxFileSize));
    std::string logical;
    bool tooLong = false;
    bool hexValue = false; // the logical line so far holds "=hex" (looked for once a piece, not again
                           // over the whole line: that made a long continued value quadratic)
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string_view line(text.data() + pos, (end == std::string::npos ? text.size() : end) - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        std::string_view trimmed = Trim(line);
        // A hex list goes on over lines that end in a backslash.
        hexValue = hexValue || trimmed.find("=hex") != std::string_view::npos;
        bool continues = !trimmed.empty() && trimmed.back() == '\\' && hexValue;
        if (logical.size() + trimmed.size() > kMaxLineLength)
            tooLong = true; // skipped as a whole, the lines it goes on over with it
        else
            logical += std::string(continues ? trimmed.substr(0, trimmed.size() - 1) : trimmed);
        if (continues && pos < text.size()) continue;
        if (tooLong)
            parser.Skip();
        else
            parser.Line(logical);
        logical.clear();
        tooLong = false;
        hexValue = false;
    }
    return file;
}

std::optional<RegistryFile> RegistryFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string raw;
    raw.resize(kMaxFileSize + 1);
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<size_t>(in.gcount()));
    if (raw.size() > kMaxFileSize) return std::nullopt;
    return Parse(raw);
}

const std::map<std::string, RegistryValue>* RegistryFile::Key(std::string_view keyPath) const {
    auto it = keys_.find(NormalizeKeyPath(keyPath));
    return it == keys_.end() ? nullptr : &it->second;
}

NTSTATUS RegistryKey::Open(const Framework& fw, std::string_view keyPath, std::unique_ptr<RegistryKey>* out) {
    return OpenFile(fw.RegistryFile(), keyPath, out);
}

NTSTATUS RegistryKey::OpenFile(const std::string& file, std::string_view keyPath,
                               std::unique_ptr<RegistryKey>* out) {
    auto parsed = RegistryFile::Load(file);
    if (!parsed) return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto* values = parsed->Key(keyPath);
    if (!values) return STATUS_OBJECT_NAME_NOT_FOUND;
    *out = std::make_unique<RegistryKey>(*values);
    return STATUS_SUCCESS;
}

const RegistryValue* RegistryKey::Find(std::string_view name) const {
    auto it = values_.find(Upper(name));
    return it == values_.end() ? nullptr : &it->second;
}

NTSTATUS RegistryKey::QueryValue(std::string_view name, void* buffer, size_t length, size_t* lengthQueried,
                                 uint32_t* type) const {
    const RegistryValue* v = Find(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (lengthQueried) *lengthQueried = v->data.size();
    if (type) *type = v->type;
    if (v->data.size() > length) return STATUS_BUFFER_OVERFLOW;
    if (!v->data.empty()) std::memcpy(buffer, v->data.data(), v->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS RegistryKey::QueryULong(std::string_view name, uint32_t* value) const {
    const RegistryValue* v = Find(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (v->data.size() > sizeof(uint32_t)) return STATUS_BUFFER_OVERFLOW;
    if (v->type != REG_DWORD || v->data.size() != sizeof(uint32_t)) return STATUS_OBJECT_TYPE_MISMATCH;
    std::memcpy(value, v->data.data(), sizeof(uint32_t));
    return STATUS_SUCCESS;
}

NTSTATUS RegistryKey::QueryString(std::string_view name, std::string* value) const {
    const RegistryValue* v = Find(name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
    size_t units = v->data.size() / 2;
    size_t n = 0;
    while (n < units && (v->data[2 * n] | v->data[2 * n + 1]) != 0)
        ++n;
    *value = FromUtf16(v->data.data(), n);
    return STATUS_SUCCESS;
}

} // namespace zelhart::drvfw
