// The few Win32 error codes and open flags that the device layer speaks.
//
// The device I/O layer reports results the way the system calls it stands in for do (GetLastError
// values), because the controller's logic depends on particular codes: ERROR_IO_PENDING for a read in
// progress, ERROR_OPERATION_ABORTED for a device that went away.
#pragma once

#include <cstdint>
#include <string>

namespace zelhart::hartif {

using Win32Error = uint32_t;

inline constexpr Win32Error ERROR_SUCCESS = 0;
inline constexpr Win32Error ERROR_FILE_NOT_FOUND = 2;
inline constexpr Win32Error ERROR_PATH_NOT_FOUND = 3;
inline constexpr Win32Error ERROR_ACCESS_DENIED = 5;
inline constexpr Win32Error ERROR_INVALID_HANDLE = 6;
inline constexpr Win32Error ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Win32Error ERROR_CRC = 23;
inline constexpr Win32Error ERROR_GEN_FAILURE = 31;
inline constexpr Win32Error ERROR_NOT_SUPPORTED = 50;
inline constexpr Win32Error ERROR_INVALID_PARAMETER = 87;
inline constexpr Win32Error ERROR_SEM_TIMEOUT = 121;
inline constexpr Win32Error ERROR_NO_MORE_ITEMS = 259;
inline constexpr Win32Error ERROR_OPERATION_ABORTED = 995;
inline constexpr Win32Error ERROR_IO_INCOMPLETE = 996;
inline constexpr Win32Error ERROR_IO_PENDING = 997;
inline constexpr Win32Error ERROR_DEVICE_NOT_CONNECTED = 1167;

// Access, share and flag words of an open.
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t FILE_SHARE_READ = 0x00000001u;
inline constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// The system's message text for a code ("The system cannot find the file specified."), or
// "Error <code>" for codes this layer does not know.
std::string SystemErrorText(Win32Error code);

} // namespace zelhart::hartif
