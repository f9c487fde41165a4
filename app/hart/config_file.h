// The ".4810" configuration file: a 103-byte little-endian image of the settings the user edits.
#pragma once

#include "hart/transmitter_model.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t kConfigFileMagic = 0x54689251u;
inline constexpr std::int32_t kConfigFileVersion = 322;
inline constexpr std::size_t kConfigFileSize = 103;
inline constexpr std::string_view kConfigFileExtension = ".4810";

using ConfigFileImage = std::array<std::uint8_t, kConfigFileSize>;

// A message the user sees when a file cannot be opened: its string-table id and text (strings.h).
struct FileMessage {
    int id;
    std::string_view text;
};

FileMessage FileMessageOf(int stringId);

enum class ConfigLoadStatus {
    Ok,
    UnexpectedFormat,    // wrong magic, short file, or a value no configuration can hold
    IncompatibleVersion, // a version other than 322
    CannotRead,          // the file could not be read at all
};

struct ConfigLoadResult {
    ConfigLoadStatus status = ConfigLoadStatus::UnexpectedFormat;
    // Shown in this order, each in its own message box with the stop icon.
    std::vector<FileMessage> messages;
    // The loaded settings; meaningful only when ok().
    StoredConfiguration configuration;

    bool ok() const { return status == ConfigLoadStatus::Ok; }
};

// Magic, version 322 and the fields in file order.
ConfigFileImage SerializeConfiguration(const StoredConfiguration& configuration);
inline ConfigFileImage SerializeConfiguration(const CTransmitterModel& model) {
    return SerializeConfiguration(model.GetStoredConfiguration());
}

// Reads an image as the document loads it: the magic, then the version, then the fields; bytes
// after the 103rd are ignored. Nothing is returned on failure but the status and the messages.
ConfigLoadResult ParseConfiguration(std::span<const std::uint8_t> bytes);

// Parses an image and, when it is valid, puts its settings into the model (which the caller has
// cleared first). A failed load leaves the model as it was.
ConfigLoadResult LoadConfiguration(CTransmitterModel& model, std::span<const std::uint8_t> bytes);
