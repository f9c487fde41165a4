// The device database's text form. Free of system calls.
#include "zelhart/devdb/fs_util.h"
#include "zelhart/devdb/device_db.h"

#include <charconv>
#include <cstdio>
#include <set>

namespace zelhart::devdb {
namespace {

using detail::EqualsNoCase;
using detail::IsDeviceIdText;

constexpr std::string_view kMagic = "zelhart-device-database";
constexpr size_t kMaxLineLength = 1024;

uint64_t Fnv1a64(std::string_view bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::string Hex(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof(buf), "%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

template <class T> bool ParseNumber(std::string_view text, T* out, int base) {
    if (base == 16) {
        if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
        text.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

void Line(std::string& out, std::string_view keyword, std::string_view value) {
    out.append(keyword).append(" ").append(value).append("\n");
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<DeviceDatabase> Run(std::string* reason) {
        if (!ParseLines() || !CheckTree()) {
            if (reason) *reason = reason_;
            return std::nullopt;
        }
        return std::move(db_);
    }

  private:
    bool Fail(std::string why) {
        reason_ = lineNo_ ? "line " + std::to_string(lineNo_) + ": " + std::move(why) : std::move(why);
        return false;
    }

    bool ParseLines() {
        if (text_.size() > kMaxDatabaseBytes) return Fail("larger than " + std::to_string(kMaxDatabaseBytes) + " bytes");
        size_t pos = 0;
        while (pos < text_.size()) {
            size_t eol = text_.find('\n', pos);
            ++lineNo_;
            if (eol == std::string_view::npos) return Fail("truncated: the last line has no end");
            std::string_view line = text_.substr(pos, eol - pos);
            if (line.size() > kMaxLineLength) return Fail("longer than " + std::to_string(kMaxLineLength) + " bytes");
            for (unsigned char c : line)
                if (c < 0x20 || c == 0x7f) return Fail("control character in the line");
            if (lineNo_ == 1) {
                if (!Header(line)) return false;
            } else if (line.starts_with("end ")) {
                if (!End(line, pos)) return false;
                if (eol + 1 != text_.size()) {
                    ++lineNo_;
                    return Fail("text after the end line");
                }
                return true;
            } else if (!Entry(line)) {
                return false;
            }
            pos = eol + 1;
        }
        lineNo_ = 0;
        return Fail(text_.empty() ? "empty file" : "truncated: no end line");
    }

    bool Header(std::string_view line) {
        if (!line.starts_with(kMagic) || line.size() < kMagic.size() + 2 || line[kMagic.size()] != ' ')
            return Fail("not a device database");
        int version = 0;
        if (!ParseNumber(line.substr(kMagic.size() + 1), &version, 10)) return Fail("bad format version");
        if (version != kDeviceDatabaseVersion) return Fail("unsupported format version " + std::to_string(version));
        return true;
    }

    bool End(std::string_view line, size_t lineStart) {
        std::string_view rest = line.substr(4);
        auto space = rest.find(' ');
        size_t count = 0;
        uint64_t sum = 0;
        if (space == std::string_view::npos || !ParseNumber(rest.substr(0, space), &count, 10) ||
            !ParseNumber("0x" + std::string(rest.substr(space + 1)), &sum, 16))
            return Fail("malformed end line");
        if (count != db_.nodes.size())
            return Fail("the end line counts " + std::to_string(count) + " nodes, the file has " +
                        std::to_string(db_.nodes.size()));
        if (sum != Fnv1a64(text_.substr(0, lineStart))) return Fail("checksum mismatch: the file is damaged");
        return true;
    }

    bool Entry(std::string_view line) {
        auto space = line.find(' ');
        if (space == std::string_view::npos || space + 1 >= line.size()) return Fail("a keyword without a value");
        std::string_view key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "node") return Node(value);
        if (db_.nodes.empty()) return Fail("'" + std::string(key) + "' before the first node");
        DeviceNode& n = db_.nodes.back();
        if (key == "hardwareid") return ListValue(value, &n.hardwareIds);
        if (key == "compatibleid") return ListValue(value, &n.compatibleIds);
        if (key == "upperfilter") return ListValue(value, &n.upperFilters);
        if (!seen_.insert(std::string(key)).second) return Fail("'" + std::string(key) + "' given twice");
        if (key == "parent") {
            if (!IsDeviceIdText(value, kMaxDeviceIdLength)) return Fail("bad parent ID");
            n.parent = value;
        } else if (key == "present") {
            if (value != "0" && value != "1") return Fail("present must be 0 or 1");
            n.present = value == "1";
        } else if (key == "status") {
            if (!ParseNumber(value, &n.status, 16)) return Fail("bad status");
        } else if (key == "problem") {
            if (!ParseNumber(value, &n.problem, 10)) return Fail("bad problem number");
        } else if (key == "class") {
            return ClassValue(value, &n);
        } else if (key == "service") {
            if (!IsDeviceIdText(value, kMaxHardwareIdLength)) return Fail("bad service name");
            n.service = value;
        } else if (key == "driver") {
            auto sp = value.find(' ');
            std::string_view package = value.substr(0, sp);
            std::string_view maker = sp == std::string_view::npos ? "" : value.substr(sp + 1);
            if (!IsDeviceIdText(package, kMaxTextLength) || maker.size() > kMaxTextLength)
                return Fail("bad driver line");
            n.driverPackage = package;
            n.manufacturer = maker;
        } else {
            return Fail("unknown keyword '" + std::string(key.substr(0, 40)) + "'");
        }
        return true;
    }

    bool Node(std::string_view id) {
        if (!IsDeviceIdText(id, kMaxDeviceIdLength) || EqualsNoCase(id, kRootDeviceInstanceId))
            return Fail("bad instance ID");
        if (db_.nodes.size() >= kMaxDeviceNodes) return Fail("more than " + std::to_string(kMaxDeviceNodes) + " nodes");
        if (!ids_.insert(detail::AsciiLower(id)).second) return Fail("instance ID " + std::string(id) + " given twice");
        db_.nodes.emplace_back().instanceId = id;
        seen_.clear();
        return true;
    }

    bool ListValue(std::string_view value, std::vector<std::string>* list) {
        if (!IsDeviceIdText(value, kMaxHardwareIdLength)) return Fail("bad ID '" + std::string(value.substr(0, 40)) + "'");
        if (list->size() >= kMaxIdsPerList) return Fail("more than " + std::to_string(kMaxIdsPerList) + " IDs in a list");
        list->emplace_back(value);
        return true;
    }

    bool ClassValue(std::string_view value, DeviceNode* n) {
        auto sp = value.find(' ');
        if (sp == std::string_view::npos) return Fail("class needs a GUID and a name");
        std::string_view guid = value.substr(0, sp), name = value.substr(sp + 1);
        auto parsed = platform::ParseGuid(guid);
        if (guid.size() != 38 || !parsed) return Fail("bad class GUID");
        if (!IsDeviceIdText(name, kMaxClassNameLength)) return Fail("bad class name");
        n->classGuid = *parsed;
        n->className = name;
        return true;
    }

    // Every parent exists (or is the root) and following parents always reaches the root.
    bool CheckTree() {
        lineNo_ = 0;
        for (const DeviceNode& n : db_.nodes) {
            const DeviceNode* at = &n;
            for (size_t depth = 0;; ++depth) {
                if (EqualsNoCase(at->parent, kRootDeviceInstanceId)) break;
                if (depth >= kMaxTreeDepth) return Fail(n.instanceId + ": parents form a cycle or too deep a tree");
                at = db_.Find(at->parent);
                if (!at) return Fail(n.instanceId + ": parent " + n.parent + " does not exist");
            }
        }
        return true;
    }

    std::string_view text_;
    size_t lineNo_ = 0;
    std::string reason_;
    DeviceDatabase db_;
    std::set<std::string> ids_;
    std::set<std::string> seen_;
};

} // namespace

DeviceNode* DeviceDatabase::Find(std::string_view instanceId) {
    for (DeviceNode& n : nodes)
        if (EqualsNoCase(n.instanceId, instanceId)) return &n;
    return nullptr;
}

const DeviceNode* DeviceDatabase::Find(std::string_view instanceId) const {
    return const_cast<DeviceDatabase*>(this)->Find(instanceId);
}

std::vector<const DeviceNode*> DeviceDatabase::PresentChildren(std::string_view instanceId) const {
    std::vector<const DeviceNode*> out;
    for (const DeviceNode& n : nodes)
        if (n.present && EqualsNoCase(n.parent, instanceId)) out.push_back(&n);
    return out;
}

size_t DeviceDatabase::RemoveSubtree(std::string_view instanceId) {
    std::set<std::string> doomed{detail::AsciiLower(instanceId)};
    // Parents come in any order in the file: repeat until no more descendants are found.
    for (bool grew = true; grew;) {
        grew = false;
        for (const DeviceNode& n : nodes)
            if (doomed.count(detail::AsciiLower(n.parent)) && doomed.insert(detail::AsciiLower(n.instanceId)).second)
                grew = true;
    }
    size_t before = nodes.size();
    std::erase_if(nodes, [&](const DeviceNode& n) { return doomed.count(detail::AsciiLower(n.instanceId)) != 0; });
    return before - nodes.size();
}

std::string SerializeDeviceDatabase(const DeviceDatabase& db) {
    std::string out;
    out.append(kMagic).append(" ").append(std::to_string(kDeviceDatabaseVersion)).append("\n");
    for (const DeviceNode& n : db.nodes) {
        Line(out, "node", n.instanceId);
        Line(out, "parent", n.parent);
        Line(out, "present", n.present ? "1" : "0");
        Line(out, "status", "0x" + Hex(n.status, 8));
        Line(out, "problem", std::to_string(n.problem));
        if (!n.className.empty()) Line(out, "class", platform::FormatGuid(n.classGuid) + " " + n.className);
        for (const auto& id : n.hardwareIds)
            Line(out, "hardwareid", id);
        for (const auto& id : n.compatibleIds)
            Line(out, "compatibleid", id);
        for (const auto& f : n.upperFilters)
            Line(out, "upperfilter", f);
        if (!n.service.empty()) Line(out, "service", n.service);
        if (!n.driverPackage.empty())
            Line(out, "driver", n.manufacturer.empty() ? n.driverPackage : n.driverPackage + " " + n.manufacturer);
    }
    uint64_t sum = Fnv1a64(out);
    out.append("end ").append(std::to_string(db.nodes.size())).append(" ").append(Hex(sum, 16)).append("\n");
    return out;
}

std::optional<DeviceDatabase> ParseDeviceDatabase(std::string_view text, std::string* reason) {
    return Parser(text).Run(reason);
}

} // namespace zelhart::devdb
