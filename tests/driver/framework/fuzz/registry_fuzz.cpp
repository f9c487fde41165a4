// libFuzzer target: the text of the daemon's service key file (<config dir>/ZelHartDriver.reg), read
// as DriverEntry reads it: RegistryFile::Parse, the service key by the path the framework gives it, and
// every value the driver asks for through each typed query.
//
// Checked for every input: key paths normalise to upper case without empty parts, a DWORD read as a number is
// the same four bytes as the raw value, a string comes back as well-formed UTF-8, and a value that does not
// fit the caller's buffer is refused without being copied.
#include "zelhart/drvfw/registry.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using namespace zelhart::drvfw;

constexpr const char* kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZelHartDriver";
// What DriverEntry asks for, "" being the key's default value (@), and a name the file may have in
// another letter case.
constexpr const char* kValueNames[] = {"DebugLevel",           "HOLD",         "GAP",     "RT1PRIMARY",
                                       "RT1SECONDARY",         "RT2",          "STO",     "QUIETTIME",
                                       "BGTIMESTART",          "BGTIMEERROR",  "RT1DIFF", "PRE2",
                                       "MISSEDTRANSMITWINDOW", "TIMEINTERVAL", "",        "debuglevel"};

[[noreturn]] void Die(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "registry fuzz: %s: %.*s\n", what, int(detail.size()), detail.data());
    std::abort();
}

bool IsUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        if (c >= 0x80) {
            if ((c >> 5) == 6)
                extra = 1;
            else if ((c >> 4) == 14)
                extra = 2;
            else if ((c >> 3) == 30)
                extra = 3;
            else
                return false;
        }
        if (s.size() - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

void QueryEverything(const RegistryKey& key) {
    for (const char* name : kValueNames) {
        std::array<uint8_t, 64> buffer{};
        size_t length = 0;
        uint32_t type = 0;
        const NTSTATUS raw = key.QueryValue(name, buffer.data(), 4, &length, &type);
        if (raw == STATUS_BUFFER_OVERFLOW && (length <= 4 || buffer[4] != 0))
            Die("an overflow that fit", name);
        if (NT_SUCCESS(raw) && length > 4) Die("a value longer than the buffer was copied", name);

        uint32_t number = 0;
        const NTSTATUS dword = key.QueryULong(name, &number);
        if (NT_SUCCESS(dword) && (!NT_SUCCESS(raw) || type != REG_DWORD || length != 4 ||
                                  std::memcmp(buffer.data(), &number, 4) != 0))
            Die("QueryULong and QueryValue disagree", name);

        std::string text;
        if (NT_SUCCESS(key.QueryString(name, &text)) && !IsUtf8(text))
            Die("a string that is not UTF-8", name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const RegistryFile file = RegistryFile::Parse(text);

    // A key path as the file may name it: upper case, single separators, none at the end.
    const std::string key = RegistryFile::NormalizeKeyPath(text.substr(0, 300));
    if (key.find("\\\\") != std::string::npos || (!key.empty() && key.back() == '\\') ||
        std::any_of(key.begin(), key.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        Die("a key path not in its normal form", key);

    const auto* values = file.Key(kServiceKey);
    if (!values) return 0;
    if (values->size() > RegistryFile::kMaxValuesPerKey) Die("more values than a key may hold");
    QueryEverything(RegistryKey(*values));
    return 0;
}
