// What a driver package's INF says: class, makers, models, service, filters. Free of system calls.
#include "fs_util.h"
#include "zelhart/devdb/device_db.h"
#include "zelhart/setupapi/inf_file.h"

#include <charconv>

namespace zelhart::setupapi {
namespace {

using detail::EqualsNoCase;

DWORD Fail(DWORD code, std::string* reason, std::string why) {
    if (reason) *reason = std::move(why);
    return code;
}

bool ParseFlags(std::string_view text, DWORD* out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// The models section a manufacturer line names: <models>.<decoration> for the first decoration whose
// section exists, else <models>.
const InfSection* ModelsSection(const InfFile& inf, const InfLine& line) {
    for (size_t i = 1; i < line.values.size(); ++i)
        if (const InfSection* s = inf.Section(line.values[0] + "." + line.values[i])) return s;
    return inf.Section(line.values[0]);
}

DWORD ReadModels(const InfFile& inf, const InfSection& section, InfManufacturer* maker, std::string* reason) {
    for (const InfLine& l : section.lines) {
        std::string where = "[" + section.name + "] line " + std::to_string(l.lineNumber);
        if (l.values.size() < 2 || l.values[0].empty())
            return Fail(ERROR_GENERAL_SYNTAX, reason, where + ": a model needs an install section and a hardware ID");
        InfModel model{l.key, l.values[0], {}};
        for (size_t i = 1; i < l.values.size(); ++i) {
            if (i > 1 && l.values[i].empty()) continue;
            if (!detail::IsDeviceIdText(l.values[i], kMaxHardwareIdLength))
                return Fail(ERROR_GENERAL_SYNTAX, reason, where + ": bad hardware ID '" + l.values[i].substr(0, 40) + "'");
            if (model.ids.size() >= kMaxIdsPerList) return Fail(ERROR_GENERAL_SYNTAX, reason, where + ": too many IDs");
            model.ids.push_back(l.values[i]);
        }
        if (!inf.Section(model.installSection))
            return Fail(ERROR_SECTION_NOT_FOUND, reason, where + ": no install section [" + model.installSection + "]");
        maker->models.push_back(std::move(model));
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD GetInfClass(const InfFile& inf, std::string* className, GUID* classGuid, std::string* reason) {
    auto signature = inf.Value("Version", "Signature");
    if (!signature || !(EqualsNoCase(*signature, "$Windows NT$") || EqualsNoCase(*signature, "$Chicago$")))
        return Fail(ERROR_WRONG_INF_STYLE, reason, "no [Version] Signature of \"$Windows NT$\" or \"$Chicago$\"");
    auto name = inf.Value("Version", "Class");
    auto guid = inf.Value("Version", "ClassGuid");
    if (!name || !guid) return Fail(ERROR_LINE_NOT_FOUND, reason, "[Version] needs Class and ClassGuid");
    if (!detail::IsDeviceIdText(*name, kMaxClassNameLength))
        return Fail(ERROR_INVALID_CLASS, reason, "bad class name '" + name->substr(0, 40) + "'");
    auto parsed = platform::ParseGuid(*guid);
    if (guid->size() != 38 || !parsed) return Fail(ERROR_INVALID_CLASS, reason, "bad ClassGuid '" + guid->substr(0, 40) + "'");
    *className = *name;
    *classGuid = *parsed;
    return ERROR_SUCCESS;
}

DWORD DescribeDriverPackage(const InfFile& inf, InfDriverPackage* out, std::string* reason) {
    InfDriverPackage package;
    if (DWORD e = GetInfClass(inf, &package.className, &package.classGuid, reason)) return e;
    package.provider = inf.Value("Version", "Provider").value_or("");
    const InfSection* makers = inf.Section("Manufacturer");
    if (!makers) return Fail(ERROR_SECTION_NOT_FOUND, reason, "no [Manufacturer] section");
    for (const InfLine& l : makers->lines) {
        if (l.values.empty() || l.values[0].empty())
            return Fail(ERROR_GENERAL_SYNTAX, reason, "[Manufacturer] line " + std::to_string(l.lineNumber) + ": no models section");
        const InfSection* models = ModelsSection(inf, l);
        if (!models) return Fail(ERROR_SECTION_NOT_FOUND, reason, "no models section [" + l.values[0] + "]");
        InfManufacturer maker{l.hasKey ? l.key : l.values[0], {}};
        if (maker.name.size() > kMaxTextLength) return Fail(ERROR_GENERAL_SYNTAX, reason, "manufacturer name too long");
        if (DWORD e = ReadModels(inf, *models, &maker, reason)) return e;
        package.manufacturers.push_back(std::move(maker));
    }
    size_t models = 0;
    for (const auto& m : package.manufacturers)
        models += m.models.size();
    if (models == 0) return Fail(ERROR_LINE_NOT_FOUND, reason, "no device models");
    *out = std::move(package);
    return ERROR_SUCCESS;
}

std::string InfServiceOf(const InfFile& inf, std::string_view installSection) {
    const InfSection* s = inf.Section(std::string(installSection) + ".Services");
    if (!s) return {};
    constexpr DWORD SPSVCINST_ASSOCSERVICE = 0x2;
    for (const InfLine& l : s->lines) {
        DWORD flags = 0;
        if (l.hasKey && EqualsNoCase(l.key, "AddService") && l.values.size() >= 2 && ParseFlags(l.values[1], &flags) &&
            (flags & SPSVCINST_ASSOCSERVICE) && detail::IsDeviceIdText(l.values[0], kMaxHardwareIdLength))
            return l.values[0];
    }
    return {};
}

std::vector<std::string> InfUpperFiltersOf(const InfFile& inf, std::string_view installSection) {
    std::vector<std::string> filters;
    const InfSection* hw = inf.Section(std::string(installSection) + ".HW");
    if (!hw) return filters;
    for (const InfLine& l : hw->lines) {
        if (!l.hasKey || !EqualsNoCase(l.key, "AddReg")) continue;
        for (const std::string& name : l.values) {
            const InfSection* reg = inf.Section(name);
            if (!reg) continue;
            for (const InfLine& r : reg->lines) {
                if (r.values.size() < 5 || !EqualsNoCase(r.values[0], "HKR") || !r.values[1].empty() ||
                    !EqualsNoCase(r.values[2], "UpperFilters"))
                    continue;
                filters.clear();
                for (size_t i = 4; i < r.values.size() && filters.size() < kMaxIdsPerList; ++i)
                    if (detail::IsDeviceIdText(r.values[i], kMaxHardwareIdLength)) filters.push_back(r.values[i]);
            }
        }
    }
    return filters;
}

} // namespace zelhart::setupapi
