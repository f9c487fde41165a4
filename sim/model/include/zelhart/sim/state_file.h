// The simulator's state file: the transmitter's configuration as text, one "key = value" a line.
//
//   # comment
//   format = 1
//   tag = TT-101
//   upper_range = 100
//   trim_lower = none            (or "<reference> <reading>", base unit)
//   date = 14.03.2024
//
// Numbers are read and written without regard to the locale. A file must carry "format = 1", may
// leave out any other key (which keeps its factory value), must not repeat or invent keys, and must
// describe a configuration the transmitter accepts (ValidateConfig). Files are at most 64 KiB with
// lines of at most 256 characters.
#pragma once

#include "zelhart/sim/device_config.h"

#include <string>
#include <string_view>

namespace zelhart::sim {

inline constexpr size_t kMaxStateFileBytes = 64 * 1024;
inline constexpr size_t kMaxStateLineBytes = 256;

// Parses the text into `config`. Returns an empty text on success, else "line N: what is wrong"
// (`config` is then unchanged).
std::string ParseState(std::string_view text, DeviceConfig& config);

// The text of a configuration; ParseState gives the same configuration back.
std::string FormatState(const DeviceConfig& config);

// Reads and parses a file; the error names the file. A missing file is an error too.
std::string LoadStateFile(const std::string& path, DeviceConfig& config);

// Writes the file through a temporary file and a rename, so a reader never sees half a file.
std::string SaveStateFile(const std::string& path, const DeviceConfig& config);

} // namespace zelhart::sim
