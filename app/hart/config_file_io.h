// Reading and writing configuration files on disk.
#pragma once

#include "hart/config_file.h"

#include <cstdint>
#include <span>
#include <string>
#include <system_error>

// Writes the bytes to a new file beside `path` and renames it over `path`, so the previous file
// stays whole until the new one is complete on disk. On failure the previous file is untouched and
// no temporary file is left behind.
std::error_code SaveFileReplacing(const std::string& path, std::span<const std::uint8_t> bytes);

// Whether SaveFileReplacing could make `path` now, without writing anything: not a directory, in an
// existing folder that takes a new file. The reason when not.
std::error_code CheckSaveTarget(const std::string& path);

// Saves the model's configuration image to `path` (SaveFileReplacing).
std::error_code SaveConfigurationFile(const std::string& path, const CTransmitterModel& model);

// Reads at most the first bytes of a regular file that a configuration can use and parses them.
// A file that cannot be opened or is not a regular file gives CannotRead with "Failed to open
// document."; `error` receives the system's reason.
ConfigLoadResult ReadConfigurationFile(const std::string& path, std::error_code* error = nullptr);
