// The driver's service key: a file in the text syntax of a registry export, read by a typed reader.
//
//     Windows Registry Editor Version 5.00          (optional; "REGEDIT4" too)
//     [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\ZelHartDriver]
//     "HOLD"=dword:00000003
//     "Big"=hex(b):00,00,00,00,00,00,00,00          (REG_QWORD; hex(N): any type, hex: binary)
//     "Name"="text with \\ and \" escaped"
//     @="the default value"
//
// Keys compare without regard to case; HKEY_LOCAL_MACHINE (HKLM) is \Registry\Machine. Value types
// matter as in the registry: a value longer than the caller's buffer cannot be read into it (a 64-bit
// value in a 32-bit query gives STATUS_BUFFER_OVERFLOW). The reader is bounded (file size, line length,
// number of keys and values) and skips what it cannot parse, counting the lines.
#pragma once

#include "zelhart/drvfw/types.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::drvfw {

enum : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

struct RegistryValue {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data; // strings as UTF-16LE with their terminating NUL, as the registry keeps them
};

class RegistryFile {
  public:
    static constexpr size_t kMaxFileSize = 1 << 20;
    static constexpr size_t kMaxLineLength = 64 * 1024;
    static constexpr size_t kMaxKeys = 1024;
    static constexpr size_t kMaxValuesPerKey = 4096;

    // UTF-8 (with or without BOM) or UTF-16LE with BOM, as regedit writes it.
    static RegistryFile Parse(std::string_view text);
    // Nothing when the file is missing, unreadable or larger than kMaxFileSize.
    static std::optional<RegistryFile> Load(const std::string& path);

    // The values of a key, or null when the file has no such key.
    const std::map<std::string, RegistryValue>* Key(std::string_view keyPath) const;
    size_t skippedLines() const { return skipped_; }

    // "HKLM\Software\X\" -> "\REGISTRY\MACHINE\SOFTWARE\X"
    static std::string NormalizeKeyPath(std::string_view path);

  private:
    std::map<std::string, std::map<std::string, RegistryValue>> keys_; // value names upper-cased
    size_t skipped_ = 0;
    friend class RegistryParser;
};

class RegistryKey {
  public:
    // WdfRegistryOpenKey on the framework's registry file (FrameworkOptions::registryFile).
    // STATUS_OBJECT_NAME_NOT_FOUND when the file or the key does not exist.
    static NTSTATUS Open(const Framework& fw, std::string_view keyPath, std::unique_ptr<RegistryKey>* out);
    static NTSTATUS OpenFile(const std::string& file, std::string_view keyPath,
                             std::unique_ptr<RegistryKey>* out);

    // WdfRegistryQueryValue: STATUS_OBJECT_NAME_NOT_FOUND for a missing value; STATUS_BUFFER_OVERFLOW
    // (with *lengthQueried the value's size) when it does not fit `length` bytes.
    NTSTATUS QueryValue(std::string_view name, void* buffer, size_t length, size_t* lengthQueried,
                        uint32_t* type) const;
    // A REG_DWORD; STATUS_BUFFER_OVERFLOW for a longer value, STATUS_OBJECT_TYPE_MISMATCH otherwise.
    NTSTATUS QueryULong(std::string_view name, uint32_t* value) const;
    // A REG_SZ or REG_EXPAND_SZ, as UTF-8.
    NTSTATUS QueryString(std::string_view name, std::string* value) const;

    explicit RegistryKey(std::map<std::string, RegistryValue> values) : values_(std::move(values)) {}

  private:
    const RegistryValue* Find(std::string_view name) const;
    std::map<std::string, RegistryValue> values_;
};

} // namespace zelhart::drvfw
