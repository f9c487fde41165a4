// libFuzzer target: the text of an INF file, read as the setup services read a driver package:
// InfFile::Parse, the setup class, the description of the package, and each model's service and
// upper filters.
//
// Checked for every input: a refused file says why and on which line; a parsed one keeps its bounds
// (sections, values a line, line numbers in order within a section); a described package has a valid
// class, at least one model, install sections that exist and IDs, services and filters within their
// bounds.
#include "zelhart/devdb/device_db.h"
#include "zelhart/setupapi/inf_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace zelhart::setupapi;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "inf fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

void CheckId(const std::string& id, size_t bound) {
    if (id.empty() || id.size() > bound) Die("an ID out of its bounds", id.substr(0, 80));
    for (char c : id)
        if (c <= ' ' || c > '~' || c == ',') Die("an ID with a character it may not hold", id.substr(0, 80));
}

void CheckSections(const InfFile& inf, std::string_view text) {
    // Every section named in the text at the start of a line is found, and its lines are in order.
    size_t sections = 0;
    for (size_t at = 0; at < text.size();) {
        size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(at, eol - at);
        at = eol + 1;
        const size_t close = line.find(']');
        if (line.empty() || line[0] != '[' || close == std::string_view::npos || close < 2) continue;
        std::string_view name = line.substr(1, close - 1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        if (name.empty()) continue;
        const InfSection* s = inf.Section(name);
        if (!s) Die("a section of the text is missing", std::string(name));
        int previous = 0;
        for (const InfLine& l : s->lines) {
            if (l.lineNumber <= previous) Die("lines out of order", s->name);
            previous = l.lineNumber;
            if (l.values.size() > kMaxInfValuesPerLine) Die("too many values on a line", s->name);
        }
        if (++sections > kMaxInfSections * 4) break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    InfFile inf;
    std::string reason;
    if (InfFile::Parse(text, &inf, &reason) != ERROR_SUCCESS) {
        if (reason.empty()) Die("a refused INF without a reason");
        return 0;
    }
    CheckSections(inf, text);

    std::string className;
    GUID classGuid{};
    reason.clear();
    if (GetInfClass(inf, &className, &classGuid, &reason) == ERROR_SUCCESS)
        CheckId(className, kMaxClassNameLength);
    else if (reason.empty())
        Die("a class refused without a reason");

    InfDriverPackage package;
    reason.clear();
    if (DescribeDriverPackage(inf, &package, &reason) != ERROR_SUCCESS) {
        if (reason.empty()) Die("a package refused without a reason");
        return 0;
    }
    if (package.className != className) Die("the package's class is not the INF's", package.className);
    size_t models = 0;
    for (const InfManufacturer& maker : package.manufacturers) {
        if (maker.name.size() > kMaxTextLength) Die("a manufacturer name over its bound");
        for (const InfModel& model : maker.models) {
            ++models;
            if (!inf.Section(model.installSection))
                Die("a model without its install section", model.installSection);
            if (model.ids.empty() || model.ids.size() > kMaxIdsPerList)
                Die("a model with no IDs or too many");
            for (const std::string& id : model.ids)
                CheckId(id, kMaxHardwareIdLength);
            if (const std::string service = InfServiceOf(inf, model.installSection); !service.empty())
                CheckId(service, kMaxHardwareIdLength);
            const auto filters = InfUpperFiltersOf(inf, model.installSection);
            if (filters.size() > kMaxIdsPerList) Die("too many upper filters");
            for (const std::string& f : filters)
                CheckId(f, kMaxHardwareIdLength);
        }
    }
    if (models == 0) Die("a package without models was described");
    return 0;
}
