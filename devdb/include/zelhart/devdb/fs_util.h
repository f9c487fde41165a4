// File helpers of the setup services: error mapping, bounded reads, atomic replacement, ASCII
// case-insensitive comparison (Windows compares names and IDs that way).
#pragma once

#include "zelhart/devdb/win32.h"

#include <string>
#include <string_view>

namespace zelhart::devdb::detail {

// The Win32 error a file operation's errno stands for.
DWORD Win32FromErrno(int error);

// The whole file, refused with ERROR_INVALID_DATA when it is larger than `maxBytes`.
DWORD ReadWholeFile(const std::string& path, size_t maxBytes, std::string* out);

// The modes of what is written under the system root, whatever the caller's umask: the daemon and
// unprivileged users read the database and the pid file.
inline constexpr unsigned kReadableFileMode = 0644;
inline constexpr unsigned kReadableDirectoryMode = 0755;

// Replaces `path` with `content` all at once: a new file beside it, written, flushed to disk and
// renamed over the old one, then the directory flushed. A reader sees the old file or the new one.
DWORD ReplaceFileAtomically(const std::string& path, std::string_view content);

// Creates a directory and its parents (mode 0755, whatever the umask).
DWORD MakeDirectories(const std::string& path);

// Removes a directory and everything in it; ERROR_SUCCESS when it is gone.
DWORD RemoveTree(const std::string& path);

char AsciiLower(char c);
std::string AsciiLower(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// A name or ID of the device world: 1..maxLength printable ASCII characters without blanks or commas.
bool IsDeviceIdText(std::string_view text, size_t maxLength);

} // namespace zelhart::devdb::detail
