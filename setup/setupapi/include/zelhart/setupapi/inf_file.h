// A small INF reader: the subset of the INF syntax a driver package of this system uses.
//
//   ; comment                            [Section]  (names ignore letter case; repeated sections merge)
//   key = value, "quoted, value", %strkey%          (values substituted from [Strings]; %% is a %)
//   value, value, , value                           (a line without a key; empty values keep their place)
//
// Not supported: line continuation, UTF-16 files, include and needs directives. Sizes are bounded
// (file, lines, sections, values, and what substitution makes of them); anything else is refused with
// a SetupAPI error code and a reason naming the line.
//
// What a driver package says about itself (DescribeDriverPackage):
//   [Version]       Signature ("$Windows NT$" or "$Chicago$"), Class, ClassGuid, Provider
//   [Manufacturer]  maker = models-section[, decoration...]   (models in <models>.<decoration> when
//                   such a section exists, else in <models>)
//   [<models>]      description = install-section, hardware-id[, compatible-id...]
//   [<install>.Services]  AddService = name, 0x00000002, service-section  (the function driver)
//   [<install>.HW]  AddReg = section  with  HKR,,"UpperFilters",0x00010000,"filter"[, "filter"...]
#pragma once

#include "zelhart/setupapi/win32.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::setupapi {

inline constexpr size_t kMaxInfBytes = 256 * 1024;
inline constexpr size_t kMaxInfLineLength = 4096;
inline constexpr size_t kMaxInfSections = 512;
inline constexpr size_t kMaxInfValuesPerLine = 64;
inline constexpr size_t kMaxInfSectionNameLength = 255;
// Once %strkey% are substituted: each key and value at most kMaxInfLineLength, all of them together
// at most this.
inline constexpr size_t kMaxInfSubstitutedBytes = 4 * kMaxInfBytes;

struct InfLine {
    int lineNumber = 0;
    bool hasKey = false;
    std::string key;                 // substituted
    std::vector<std::string> values; // substituted, unquoted, trimmed
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

class InfFile {
  public:
    // ERROR_SUCCESS, or ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE,
    // ERROR_SECTION_NAME_TOO_LONG, ERROR_GENERAL_SYNTAX, ERROR_WRONG_INF_STYLE with `reason`.
    static DWORD Parse(std::string_view text, InfFile* out, std::string* reason);

    const InfSection* Section(std::string_view name) const;
    // The first value of the first line of `section` whose key is `key` (letter case ignored).
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  private:
    std::vector<InfSection> sections_;
};

// Reads and parses an INF file; file errors as Win32 codes, an over-long file as ERROR_GENERAL_SYNTAX.
DWORD ReadInfFile(const std::string& path, InfFile* out, std::string* reason);

struct InfModel {
    std::string description;
    std::string installSection;
    std::vector<std::string> ids; // the hardware ID first, then compatible IDs
};

struct InfManufacturer {
    std::string name;
    std::vector<InfModel> models;
};

struct InfDriverPackage {
    std::string className;
    GUID classGuid{};
    std::string provider;
    std::vector<InfManufacturer> manufacturers;
};

// The setup class of an INF: [Version] Class and ClassGuid. ERROR_WRONG_INF_STYLE without a valid
// signature, ERROR_LINE_NOT_FOUND when either line is missing, ERROR_INVALID_CLASS when malformed.
DWORD GetInfClass(const InfFile& inf, std::string* className, GUID* classGuid, std::string* reason);

// Everything a driver package must hold, checked: its class, at least one model, install sections
// that exist, IDs that are valid.
DWORD DescribeDriverPackage(const InfFile& inf, InfDriverPackage* out, std::string* reason);

// The function driver's service of an install section (AddService with flag 0x2), empty when none.
std::string InfServiceOf(const InfFile& inf, std::string_view installSection);

// The upper filters an install section's hardware key gets (AddReg sections of <install>.HW).
std::vector<std::string> InfUpperFiltersOf(const InfFile& inf, std::string_view installSection);

} // namespace zelhart::setupapi
