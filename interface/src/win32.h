// The few Win32 error codes and open flags that the device layer speaks.
//
// The device I/O layer reports results the way the system calls it stands in for do (GetLastError
// values), because the controller's logic depends on particular codes: ERROR_IO_PENDING for a read in
// progress, ERROR_OPERATION_ABORTED for a device that went away.
#pragma once

#include "zelhart/platform/win32_error.h"

#include <cstdint>
#include <string>

namespace zelhart::hartif {

using Win32Error = uint32_t;

// The codes themselves are the platform's (the same values the driver's client maps NTSTATUS to).
using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_CRC;
using platform::ERROR_DEVICE_NOT_CONNECTED;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_GEN_FAILURE;
using platform::ERROR_INVALID_HANDLE;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_IO_INCOMPLETE;
using platform::ERROR_IO_PENDING;
using platform::ERROR_NO_MORE_ITEMS;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_NOT_READY;
using platform::ERROR_NOT_SUPPORTED;
using platform::ERROR_OPERATION_ABORTED;
using platform::ERROR_PATH_NOT_FOUND;
using platform::ERROR_SEM_TIMEOUT;
using platform::ERROR_SUCCESS;
using platform::ERROR_TIMEOUT;
using platform::ERROR_UNEXP_NET_ERR;

// Access, share and flag words of an open.
inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t FILE_SHARE_READ = 0x00000001u;
inline constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// The system's message text for a code ("The system cannot find the file specified."), or
// "Error <code>" for codes this layer does not know.
std::string SystemErrorText(Win32Error code);

} // namespace zelhart::hartif
